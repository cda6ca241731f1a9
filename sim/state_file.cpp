#include "sim/state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

std::string Reason(const std::string& what, const std::string& path) { return what + " " + path + ": " + std::strerror(errno); }

// Reads a whole file; false with a reason when it cannot, and `missing`
// set when it does not exist.
bool ReadFile(const std::string& path, Bytes& bytes, bool& missing, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    missing = fd < 0 && errno == ENOENT;
    if (fd < 0) {
        error = Reason("cannot open", path);
        return false;
    }
    std::uint8_t buffer[64 * 1024];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    if (n < 0) error = Reason("cannot read", path);
    ::close(fd);
    return n == 0;
}

// Replaces FILE with `bytes`: written beside it and renamed over it. No
// fsync: the state has to outlive the simulator's process (a power cut is
// its SIGKILL), not the machine.
bool ReplaceFile(const std::string& path, const Bytes& bytes, std::string& error)
{
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = Reason("cannot create", temporary);
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool written = done == bytes.size();
    if (!written) error = Reason("cannot write", temporary);
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        if (written) error = Reason("cannot rename over", path);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool StateFile::Load(SimModem& modem, std::string& error)
{
    Bytes state;
    Bytes nv;
    bool missing = false;
    if (!ReadFile(m_path, state, missing, error)) {
        if (missing) error.clear();
        return missing;
    }
    if (!ReadFile(m_path + ".nv", nv, missing, error)) return false;
    state.insert(state.end(), nv.begin(), nv.end());
    if (!modem.LoadState(state, error)) {
        error = m_path + ": " + error;
        return false;
    }
    m_flashSaved = modem.FlashChanges();
    return true;
}

bool StateFile::Save(const SimModem& modem, std::string& error)
{
    if (m_flashSaved != modem.FlashChanges()) {
        if (!ReplaceFile(m_path, modem.SaveFlashState(), error)) return false;
        m_flashSaved = modem.FlashChanges();
    }
    return ReplaceFile(m_path + ".nv", modem.SaveNvState(), error);
}

}  // namespace sim
