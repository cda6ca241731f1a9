#include "flashing/clean_up.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "flashing/paths.h"
#include "payload/manifest.h"

namespace flashing {
namespace {

constexpr std::uint32_t kReplugUnloadPauseMs = 500;

void RemoveIfPresent(const std::string& path)
{
    std::error_code ignored;
    if (PathExists(path)) std::filesystem::remove(path, ignored);
}

}  // namespace

void RemoveWorkingFiles(const std::string& folder, Cleanup variant, platform::IClock& clock, IReplugControl* replug)
{
    for (const payload::Payload& entry : payload::kPayloads) {
        // At the end of a run the re-plug library goes last, once unloaded.
        if (variant == Cleanup::EndOfRun && entry.id == payload::kReplugLibrary.id) continue;
        RemoveIfPresent(JoinPath(folder, entry.fileName));
    }
    if (variant != Cleanup::EndOfRun) return;

    // The library can go only once its thread has stopped calling it.
    if (replug) replug->StopThread();
    clock.SleepMs(kReplugUnloadPauseMs);
    if (replug) replug->UnloadLibrary();
    RemoveIfPresent(JoinPath(folder, payload::kReplugLibrary.fileName));
}

}  // namespace flashing
