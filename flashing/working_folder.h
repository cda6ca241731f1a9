#pragma once

#include <string>

#include "link/step_result.h"

// The one folder the payloads are extracted into and the runs read from.
//
// It is "C:\Program Files\Windows Service\LR520Snewversion" on Windows. On
// Linux it is <state>/firmware, <state> being platform::StateDirectory();
// the folder and any parent the program creates are private to the user
// (0700), so nobody else can swap an image between the check and the
// download. An image changed all the same, by the user or a program of
// theirs, is refused before its changed bytes are sent (see ImageFile).
namespace flashing {

// The program's working folder, for its front end to hand down.
std::string DefaultWorkingFolder();

// Makes sure the working folder `folder` exists, creating the folders above
// it first; false at the first that can be neither found nor created.
[[nodiscard]] bool PrepareWorkingFolder(const std::string& folder);
#ifndef _WIN32
// Whether the working folder may be used, asked before anything is touched:
// the state folder's variables are sound and the folder can be written or
// made. Fails with a sentence that says what to do.
StepResult CheckWorkingFolder(const std::string& folder);
#endif

}  // namespace flashing
