#include "sim/state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

std::string Reason(const std::string& what, const std::string& path) { return what + " " + path + ": " + std::strerror(errno); }

}  // namespace

bool LoadStateFile(const std::string& path, SimModem& modem, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        error = Reason("cannot open", path);
        return false;
    }
    Bytes state;
    std::uint8_t buffer[64 * 1024];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) state.insert(state.end(), buffer, buffer + n);
    if (n < 0) error = Reason("cannot read", path);
    ::close(fd);
    if (n < 0) return false;
    if (!modem.LoadState(state, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool SaveStateFile(const std::string& path, const SimModem& modem, std::string& error)
{
    const Bytes state = modem.SaveState();
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = Reason("cannot create", temporary);
        return false;
    }
    std::size_t done = 0;
    while (done < state.size()) {
        const ssize_t n = ::write(fd, state.data() + done, state.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool written = done == state.size() && ::fsync(fd) == 0;
    if (!written) error = Reason("cannot write", temporary);
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        if (written) error = Reason("cannot rename over", path);
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with its folder.
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace sim
