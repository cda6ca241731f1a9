#pragma once

#include <string>

#include "flashing/replug_control.h"
#include "platform/clock.h"

// The removal of the working files at the end of a run and at the end of the
// program.
namespace flashing {

enum class Cleanup {
    // End of a run and quit: also stops the re-plug thread, waits 500 ms,
    // unloads the library and then deletes its file.
    EndOfRun,
    // Destruction of the form: the library stays loaded.
    FormDestroyed,
};

// Deletes every payload file of the manifest from the working folder
// `folder`; files that are missing or cannot be deleted are passed over.
// The NV backup is not among them: only the run that restored it removes
// it. `replug` is the application's re-plug thread and library, null when
// it has none; the pause goes by `clock`.
void RemoveWorkingFiles(const std::string& folder, Cleanup variant, platform::IClock& clock, IReplugControl* replug);

}  // namespace flashing
