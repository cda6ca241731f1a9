#include "platform/single_instance.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"
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
    const std::string folder = StateDirectory();
    if (!EnsureDirectory(folder)) return;
    m_fd = ::open((folder + "/" + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) return;
    int result;
    do {
        result = ::flock(m_fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) {
        ::close(m_fd);
        m_fd = -1;
        m_claimed = false;
    }
}

SingleInstance::~SingleInstance()
{
    // Closing drops the lock. The file stays: removing it could let two
    // copies lock two different files of the same name.
    if (m_fd >= 0) ::close(m_fd);
}

#endif

}  // namespace platform
