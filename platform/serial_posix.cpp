#include "platform/serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace platform {
namespace {

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

speed_t SpeedFor(int baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B115200;
    }
}

tcflag_t CharacterSize(int dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

class PosixSerialDevice final : public ISerialDevice {
public:
    explicit PosixSerialDevice(int fd) : m_fd(fd) {}
    ~PosixSerialDevice() override { ::close(m_fd); }

    bool Configure(const SerialSettings& settings) override
    {
        // The queue sizes, event mask and time-outs are the Windows driver's;
        // here the kernel's queues serve and every wait is bounded by poll().
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0) return false;
        ::cfmakeraw(&tio);
        tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
        tio.c_cflag |= CharacterSize(settings.dataBits) | CREAD | CLOCAL;
        if (settings.stopBits == 2) tio.c_cflag |= CSTOPB;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        const speed_t speed = SpeedFor(settings.baudRate);
        if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return false;
        return ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }

    void Purge(bool output, bool input) override
    {
        if (output && input) ::tcflush(m_fd, TCIOFLUSH);
        else if (output) ::tcflush(m_fd, TCOFLUSH);
        else if (input) ::tcflush(m_fd, TCIFLUSH);
    }

    std::uint32_t Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) override
    {
        const std::int64_t deadline = NowMs() + waitMs;
        std::uint32_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(m_fd, data + done, length - done);
            if (n > 0) {
                done += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
            const std::int64_t left = deadline - NowMs();
            if (left <= 0) {
                // Whatever is still queued of this write would go out later,
                // in the middle of the next request.
                ::tcflush(m_fd, TCOFLUSH);
                return 0;
            }
            pollfd pfd{m_fd, POLLOUT, 0};
            ::poll(&pfd, 1, static_cast<int>(left));
        }
        return done;
    }

    std::uint32_t QueuedInput() override
    {
        int count = 0;
        if (::ioctl(m_fd, FIONREAD, &count) != 0 || count < 0) return 0;
        return static_cast<std::uint32_t>(count);
    }

    std::uint32_t Read(std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) override
    {
        const std::int64_t deadline = NowMs() + waitMs;
        std::uint32_t done = 0;
        while (done < length) {
            const ssize_t n = ::read(m_fd, data + done, length - done);
            if (n > 0) {
                done += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
            const std::int64_t left = deadline - NowMs();
            if (left <= 0) break;
            pollfd pfd{m_fd, POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(left));
        }
        return done;
    }

private:
    int m_fd;
};

}  // namespace

std::vector<PortHolder> FindPortHolders(const std::string& device)
{
    namespace fs = std::filesystem;
    std::vector<PortHolder> holders;
    // The same file, whatever name leads to it: the link or the terminal.
    struct stat wanted {};
    if (::stat(device.c_str(), &wanted) != 0) return holders;
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    for (const fs::directory_entry& process : fs::directory_iterator("/proc", ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        // Processes of other users, or gone meanwhile, cannot be looked into.
        std::error_code ignored;
        for (const fs::directory_entry& fd : fs::directory_iterator(process.path() / "fd", ignored)) {
            struct stat opened {};
            if (::stat(fd.path().c_str(), &opened) != 0 || opened.st_dev != wanted.st_dev || opened.st_ino != wanted.st_ino) {
                continue;
            }
            std::ifstream comm(process.path() / "comm");
            std::string program;
            std::getline(comm, program);
            holders.push_back({std::stoi(pid), program});
            break;
        }
    }
    return holders;
}

std::string DescribeHolders(const std::string& device)
{
    std::string text;
    for (const PortHolder& holder : FindPortHolders(device)) {
        text += (text.empty() ? "" : ", ") + holder.program + " (process " + std::to_string(holder.pid) + ")";
    }
    return text;
}

std::unique_ptr<ISerialDevice> OpenTerminal(const std::string& device)
{
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !::isatty(fd) || ::ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixSerialDevice>(fd);
}

void HolderNotes::OnHeld(std::function<void(const std::string&)> notify)
{
    std::lock_guard lock(m_mutex);
    m_notify = std::move(notify);
}

void HolderNotes::Tell(int number, const std::string& device)
{
    std::function<void(const std::string&)> notify;
    {
        std::lock_guard lock(m_mutex);
        notify = m_notify;
    }
    if (!notify) return;
    for (const PortHolder& holder : FindPortHolders(device)) {
        {
            std::lock_guard lock(m_mutex);
            if (!m_told.emplace(device, holder.pid).second) continue;
        }
        notify("COM" + std::to_string(number) + " (" + device + ") is held open by " + holder.program + " (process " +
               std::to_string(holder.pid) + "): close that program, or tell it to leave the modem alone, before the upgrade.");
    }
}

std::unique_ptr<ISerialDevice> PosixSerialPorts::OpenPort(int number)
{
    if (number < 0) return nullptr;
    const std::string path = Link(number);
    m_holders.Tell(number, path);
    return OpenTerminal(path);
}

std::string PosixSerialPorts::HeldBy(int number) { return number < 0 ? std::string() : DescribeHolders(Link(number)); }

}  // namespace platform
