#include "flashing/clean_up.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "flashing/paths.h"
#include "flashing/replug_control.h"
#include "flashing/working_folder.h"
#include "payload/manifest.h"
#include "platform/backends.h"

namespace flashing {
namespace {

constexpr std::uint32_t kReplugUnloadPauseMs = 500;

void RemoveIfPresent(const std::string& path)
{
    std::error_code ignored;
    if (PathExists(path)) std::filesystem::remove(path, ignored);
}

}  // namespace

void RemoveWorkingFiles(Cleanup variant)
{
    const std::string folder = WorkingFolder();
    for (const payload::Payload& entry : payload::kPayloads) {
        // At the end of a run the re-plug library goes last, once unloaded.
        if (variant == Cleanup::EndOfRun && entry.id == payload::kReplugLibrary.id) continue;
        RemoveIfPresent(JoinPath(folder, entry.fileName));
    }
    if (variant != Cleanup::EndOfRun) return;

    // The library can go only once its thread has stopped calling it.
    IReplugControl* control = ReplugControl();
    if (control) control->StopThread();
    platform::Clock().SleepMs(kReplugUnloadPauseMs);
    if (control) control->UnloadLibrary();
    RemoveIfPresent(JoinPath(folder, payload::kReplugLibrary.fileName));
}

}  // namespace flashing
