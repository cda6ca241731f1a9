#pragma once

#include <optional>
#include <string>

// The one folder the payloads are extracted into and the runs read from.
//
// It is "C:\Program Files\Windows Service\LR520Snewversion" on Windows. On
// Linux it is <state>/firmware, <state> being platform::StateDirectory();
// the folder and any parent the program creates are private to the user
// (0700), so nobody else can swap an image between the check and the
// download. An image changed all the same, by the user or a program of
// theirs, is refused before its changed bytes are sent (see ImageFile).
namespace flashing {

// The working folder, or the one a ScopedWorkingFolder put in its place.
std::string WorkingFolder();

// Puts another working folder in place for the lifetime of a scope (tests).
// The folder it replaced comes back when the scope ends.
class ScopedWorkingFolder {
public:
    explicit ScopedWorkingFolder(std::string folder);
    ~ScopedWorkingFolder();
    ScopedWorkingFolder(const ScopedWorkingFolder&) = delete;
    ScopedWorkingFolder& operator=(const ScopedWorkingFolder&) = delete;

private:
    std::optional<std::string> m_previous;
};

// Makes sure the working folder exists, creating the folders above it
// first; false at the first that can be neither found nor created.
[[nodiscard]] bool PrepareWorkingFolder();
#ifndef _WIN32
// Whether the working folder may be used, asked before anything is touched:
// the state folder's variables are sound and the folder can be written or
// made. False with a sentence that says what to do.
[[nodiscard]] bool CheckWorkingFolder(std::string& error);
#endif

}  // namespace flashing
