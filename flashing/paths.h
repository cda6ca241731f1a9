#pragma once

#include <string>
#include <string_view>

// Path rules of the working files, the same on both systems but for the
// separator and what counts as a root.
namespace flashing {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// folder + separator + name.
std::string JoinPath(const std::string& folder, std::string_view name);

// Whether a file or folder of that name exists. One trailing separator is
// ignored, except on a root ("C:\" on Windows, "/" on Linux), which always
// exists. No wildcards: a name with '*' or '?' is looked up as written.
[[nodiscard]] bool PathExists(const std::string& path);
// Creates the folder (one level, no parents) unless it exists; true when it
// is a folder afterwards. On Linux it is private to the user (0700).
[[nodiscard]] bool EnsureFolder(const std::string& path);

}  // namespace flashing
