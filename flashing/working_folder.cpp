#include "flashing/working_folder.h"

#include <filesystem>

#include "flashing/paths.h"
#include "platform/files.h"

namespace flashing {
namespace {

#ifdef _WIN32
constexpr const char* kProgramFiles = "C:\\Program Files";
constexpr const char* kServiceFolder = "C:\\Program Files\\Windows Service";
constexpr const char* kDefaultWorkingFolder = "C:\\Program Files\\Windows Service\\LR520Snewversion";
#endif

}  // namespace

std::string DefaultWorkingFolder()
{
#ifdef _WIN32
    return kDefaultWorkingFolder;
#else
    return platform::StateDirectory() + "/firmware";
#endif
}

bool PrepareWorkingFolder(const std::string& folder)
{
#ifdef _WIN32
    return EnsureFolder(kProgramFiles) && EnsureFolder(kServiceFolder) && EnsureFolder(folder);
#else
    return platform::EnsureDirectory(std::filesystem::path(folder).parent_path().string()) && EnsureFolder(folder);
#endif
}

#ifndef _WIN32
StepResult CheckWorkingFolder(const std::string& folder)
{
    std::string error;
    if (!platform::CheckStateDirectory(error) || !platform::CheckWritableFolder(folder, error)) {
        return StepResult::Failed(error);
    }
    return {};
}
#endif

}  // namespace flashing
