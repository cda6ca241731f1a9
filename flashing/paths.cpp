#include "flashing/paths.h"

#include <filesystem>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace flashing {
namespace {

#ifdef _WIN32
constexpr std::size_t kRootLength = 3;
bool IsRoot(const std::string& path) { return path.size() == 3 && path[1] == ':' && path[2] == '\\'; }
#else
constexpr std::size_t kRootLength = 1;
bool IsRoot(const std::string& path) { return path == "/"; }
#endif

}  // namespace

std::string JoinPath(const std::string& folder, std::string_view name)
{
    std::string path = folder;
    path += kPathSeparator;
    path += name;
    return path;
}

bool PathExists(const std::string& path)
{
    std::string name = path;
    if (!name.empty() && name.back() == kPathSeparator && name.size() != kRootLength) name.pop_back();
    if (IsRoot(name)) return true;
    // Only a root may end with a separator ("ab\" names nothing).
    if (!name.empty() && name.back() == kPathSeparator) return false;
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(name, ec));
}

bool EnsureFolder(const std::string& path)
{
    std::error_code ec;
    // A file of that name is in the way, not a folder to extract into.
    if (PathExists(path)) return std::filesystem::is_directory(path, ec);
#ifdef _WIN32
    return std::filesystem::create_directory(path, ec);
#else
    return ::mkdir(path.c_str(), 0700) == 0;
#endif
}

}  // namespace flashing
