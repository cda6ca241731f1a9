#include "platform/single_instance.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

namespace {

enum class Lock { Taken, Held, Unmade };

constexpr std::size_t kLockNameLength = 200;

// /run/lock where it is sticky and every user may write it (so that no user
// can remove or replace another's file), else /tmp: every copy on the
// machine picks the same, whoever runs it.
std::string DefaultLockFolder()
{
    struct stat info {};
    constexpr mode_t kShared = S_ISVTX | S_IWOTH;
    if (::stat("/run/lock", &info) == 0 && S_ISDIR(info.st_mode) && (info.st_mode & kShared) == kShared) {
        return "/run/lock";
    }
    return "/tmp";
}

// A plain file name: every character but letters, digits, '-' and '_'
// becomes '_'. Names that end up alike only share one mark.
std::string LockFileName(const std::string& name)
{
    std::string file = name.substr(0, kLockNameLength);
    for (char& c : file) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!plain) c = '_';
    }
    return file + ".lock";
}

// Held when the lock is another's, or when something is at `path` that is
// not a lock file this copy can take: whoever holds it cannot be told
// apart from a running copy. The file is opened read-only, all flock needs,
// so whatever was planted there is never written; a symlink is not
// followed, and a FIFO does not hang the start.
Lock TakeLockFile(const std::string& path, int& fd)
{
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    fd = ::open(path.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
        // Created apart from opened: in a sticky folder the system may
        // refuse O_CREAT on a file of another user.
        fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
        // Whatever the umask, a copy of any user must be able to open it.
        if (fd >= 0) ::fchmod(fd, 0644);
        if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), kFlags);
    }
    struct stat info {};
    if (fd < 0) return ::lstat(path.c_str(), &info) == 0 ? Lock::Held : Lock::Unmade;
    Lock lock = Lock::Taken;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        lock = Lock::Held;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        lock = errno == EWOULDBLOCK ? Lock::Held : Lock::Unmade;
    }
    if (lock != Lock::Taken) {
        ::close(fd);
        fd = -1;
    }
    return lock;
}

}  // namespace

SingleInstance::SingleInstance(const std::string& name) : SingleInstance(name, DefaultLockFolder()) {}

SingleInstance::SingleInstance(const std::string& name, const std::string& lockFolder)
{
    // The lock file is never removed: the lock, not the file, is the mark,
    // and a file left by a killed copy is simply taken again.
    if (TakeLockFile(lockFolder + "/" + LockFileName(name), m_lockFd) == Lock::Held) {
        m_claimed = false;
        return;
    }
    // Beside it a name in the abstract socket namespace, which every user
    // in this network namespace sees whatever folders it is shown.
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
    if (m_lockFd >= 0) ::close(m_lockFd);
}

#endif

}  // namespace platform
