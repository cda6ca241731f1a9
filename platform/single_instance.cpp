#include "platform/single_instance.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#endif

namespace platform {

#ifdef _WIN32

SingleInstance::SingleInstance(const std::string& name)
{
    m_handle = CreateMutexA(nullptr, FALSE, name.c_str());
    if (m_handle && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(m_handle);
        m_handle = nullptr;
        m_claimed = false;
    }
}

SingleInstance::~SingleInstance()
{
    if (m_handle) CloseHandle(m_handle);
}

#else

SingleInstance::SingleInstance(const std::string& name)
{
    // A name in the abstract socket namespace: every user of the machine
    // sees it, no file or permission stands in the way, and the system
    // releases it however the holder ends.
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) return;
    if (errno == EADDRINUSE) m_claimed = false;
    ::close(m_fd);
    m_fd = -1;
}

SingleInstance::~SingleInstance()
{
    if (m_fd >= 0) ::close(m_fd);
}

#endif

}  // namespace platform
