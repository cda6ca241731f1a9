#include "flashing/working_folder.h"

#include <filesystem>
#include <mutex>
#include <utility>

#include "flashing/paths.h"
#include "platform/files.h"

namespace flashing {
namespace {

#ifdef _WIN32
constexpr const char* kProgramFiles = "C:\\Program Files";
constexpr const char* kServiceFolder = "C:\\Program Files\\Windows Service";
constexpr const char* kDefaultWorkingFolder = "C:\\Program Files\\Windows Service\\LR520Snewversion";
#endif

std::mutex g_folderMutex;
std::optional<std::string> g_folderOverride;

std::string DefaultWorkingFolder()
{
#ifdef _WIN32
    return kDefaultWorkingFolder;
#else
    return platform::StateDirectory() + "/firmware";
#endif
}

}  // namespace

std::string WorkingFolder()
{
    std::lock_guard lock(g_folderMutex);
    return g_folderOverride ? *g_folderOverride : DefaultWorkingFolder();
}

ScopedWorkingFolder::ScopedWorkingFolder(std::string folder)
{
    std::lock_guard lock(g_folderMutex);
    m_previous = std::exchange(g_folderOverride, std::move(folder));
}

ScopedWorkingFolder::~ScopedWorkingFolder()
{
    std::lock_guard lock(g_folderMutex);
    g_folderOverride = std::move(m_previous);
}

bool PrepareWorkingFolder()
{
#ifdef _WIN32
    return EnsureFolder(kProgramFiles) && EnsureFolder(kServiceFolder) && EnsureFolder(WorkingFolder());
#else
    const std::string folder = WorkingFolder();
    return platform::EnsureDirectory(std::filesystem::path(folder).parent_path().string()) && EnsureFolder(folder);
#endif
}

#ifndef _WIN32
bool CheckWorkingFolder(std::string& error)
{
    return platform::CheckStateDirectory(error) && platform::CheckWritableFolder(WorkingFolder(), error);
}
#endif

}  // namespace flashing
