#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace platform {
namespace {

// A new file at `path` open for writing; none when anything is at that
// name, a link included (which the exclusive creation never follows).
std::FILE* CreateNewFile(const std::string& path)
{
#ifdef _WIN32
    const int fd = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    std::FILE* file = fd < 0 ? nullptr : ::_fdopen(fd, "wb");
    if (fd >= 0 && !file) ::_close(fd);
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    std::FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (fd >= 0 && !file) ::close(fd);
#endif
    return file;
}

int SyncToDisk(std::FILE* file)
{
#ifdef _WIN32
    return ::_commit(::_fileno(file));
#else
    return ::fsync(::fileno(file));
#endif
}

}  // namespace

bool AppendToFile(const std::string& path, std::string_view text)
{
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && !EnsureDirectory(parent.string())) return false;
#ifdef _WIN32
    std::FILE* file = std::fopen(path.c_str(), "ab");
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || info.st_nlink != 1)) {
        ::close(fd);
        return false;
    }
    std::FILE* file = fd < 0 ? nullptr : ::fdopen(fd, "ab");
    if (fd >= 0 && !file) ::close(fd);
#endif
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

bool ReplaceFile(const std::string& path, const std::string& temporary, std::span<const std::uint8_t> bytes, bool durable,
                 int& cause)
{
    std::error_code ignored;
    errno = 0;
    std::FILE* file = CreateNewFile(temporary);
    // Left by a run cut short, or put there: it goes, a link as a link.
    if (!file && errno == EEXIST) {
        std::filesystem::remove(temporary, ignored);
        file = CreateNewFile(temporary);
    }
    if (!file) {
        cause = errno;
        return false;
    }
    errno = 0;
    bool written = (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size()) &&
                   std::fflush(file) == 0 && (!durable || SyncToDisk(file) == 0);
    cause = errno;
    if (std::fclose(file) != 0 && written) {
        written = false;
        cause = errno;
    }
    if (written) {
        std::error_code renamed;
        std::filesystem::rename(temporary, path, renamed);
        written = !renamed;
        if (renamed) cause = renamed.value();
    }
    if (!written) std::filesystem::remove(temporary, ignored);
    return written;
}

bool EnsureDirectory(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return true;
#ifdef _WIN32
    std::filesystem::create_directories(path, ec);
#else
    // Create parent by parent so that every folder made here gets 0700,
    // whatever the umask.
    std::filesystem::path partial;
    for (const auto& part : std::filesystem::path(path)) {
        partial /= part;
        if (std::filesystem::is_directory(partial, ec)) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && !std::filesystem::is_directory(partial, ec)) return false;
    }
#endif
    return std::filesystem::is_directory(path, ec);
}

#ifndef _WIN32
namespace {

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The state folder the variables name, and what is wrong with that choice.
struct StateChoice {
    std::string path;
    std::string problem;
};

bool IsRootFolder(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::path(path).lexically_normal().relative_path().empty() ||
           std::filesystem::equivalent(path, "/", ec);
}

std::string NotAbsolute(const char* name, const std::string& value, const char* instead)
{
    return std::string(name) + "=" + value + " is not an absolute path: " + instead;
}

StateChoice ChooseStateDirectory()
{
    constexpr const char* kOrOurs = "set it to an absolute path, or set UPGRADER_STATE_DIR to one";
    if (auto dir = Environment("UPGRADER_STATE_DIR"); !dir.empty()) {
        if (dir.front() != '/') {
            return {dir, NotAbsolute("UPGRADER_STATE_DIR", dir, "set it to the absolute path of a folder for this program")};
        }
        if (IsRootFolder(dir)) {
            return {dir, "UPGRADER_STATE_DIR=" + dir + " is the root folder: set it to a folder of this program's own"};
        }
        return {dir, ""};
    }
    if (auto dir = Environment("XDG_STATE_HOME"); !dir.empty()) {
        return {dir + "/upgrader", dir.front() == '/' ? "" : NotAbsolute("XDG_STATE_HOME", dir, kOrOurs)};
    }
    const std::string home = Environment("HOME");
    if (home.empty()) return {"./.local/state/upgrader", "HOME is not set: set it, or set UPGRADER_STATE_DIR to an absolute path"};
    return {home + "/.local/state/upgrader", home.front() == '/' ? "" : NotAbsolute("HOME", home, kOrOurs)};
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

std::string SizeText(std::size_t bytes)
{
    if (bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
    if (bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

std::string StateDirectory() { return ChooseStateDirectory().path; }

bool CheckStateDirectory(std::string& error)
{
    error = ChooseStateDirectory().problem;
    return error.empty();
}

bool CheckWritableFolder(const std::string& folder, std::string& error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path part = fs::path(folder).lexically_normal();
    if (!part.has_filename()) part = part.parent_path();
    while (!fs::exists(fs::symlink_status(part, ec)) && part.has_relative_path()) part = part.parent_path();
    if (!fs::is_directory(part, ec)) {
        error = part.string() + " is not a folder: move it away, or set UPGRADER_STATE_DIR to another folder";
        return false;
    }
    if (::access(part.c_str(), W_OK | X_OK) != 0) {
        error = "the folder " + part.string() + " cannot be written (" + ErrorText(errno) +
                "): make it writable for this user, or set UPGRADER_STATE_DIR to a folder this user may write";
        return false;
    }
    return true;
}

FileRead ReadRegularFile(const std::string& path, std::size_t limit, std::string& text, std::string& why)
{
    // Without blocking, so that a FIFO nobody writes cannot hold the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return FileRead::Missing;
        why = "cannot be opened (" + ErrorText(errno) + ")";
        return FileRead::Refused;
    }
    struct stat info {};
    FileRead result = FileRead::Refused;
    std::string content;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "is not a regular file";
    } else {
        // Read until the end, and no further than the limit: the file may
        // grow while it is read.
        for (;;) {
            char chunk[4096];
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                why = "cannot be read (" + ErrorText(errno) + ")";
                break;
            }
            if (got == 0) {
                text = std::move(content);
                result = FileRead::Read;
                break;
            }
            if (content.size() + static_cast<std::size_t>(got) > limit) {
                why = "is larger than " + SizeText(limit);
                break;
            }
            content.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return result;
}

bool ReserveStandardStreams()
{
    // Each open takes the lowest free descriptor: the closed standard ones
    // first. They are inherited as standard streams are.
    for (;;) {
        const int fd = ::open("/dev/null", O_RDWR);
        if (fd < 0) return false;
        if (fd > STDERR_FILENO) {
            ::close(fd);
            return true;
        }
    }
}

void SilenceStandardStreams()
{
    std::fflush(stdout);
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, fd);
    ::close(null);
}

std::string PortsDirectory()
{
    if (auto dir = Environment("UPGRADER_PORTS_DIR"); !dir.empty()) return dir;
    return StateDirectory() + "/ports";
}
#endif

std::string ByteLogPath()
{
#ifdef _WIN32
    return "C:\\ByteLog.txt";
#else
    return StateDirectory() + "/ByteLog.txt";
#endif
}

}  // namespace platform
