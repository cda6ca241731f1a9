#include "platform/files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace platform {

bool AppendToFile(const std::string& path, std::string_view text)
{
    const auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty() && !EnsureDirectory(parent.string())) return false;
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
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

}  // namespace

std::string StateDirectory()
{
    if (auto dir = Environment("UPGRADER_STATE_DIR"); !dir.empty()) return dir;
    if (auto dir = Environment("XDG_STATE_HOME"); !dir.empty()) return dir + "/upgrader";
    auto home = Environment("HOME");
    return (home.empty() ? std::string(".") : home) + "/.local/state/upgrader";
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
