#pragma once

#include <optional>
#include <string>

#include "workflow/line_start.h"

// What the Windows window decides without calling Windows: the time scale
// its tests ask for, the taskbar button's progress, the status control's
// text and where the uninstaller is.
namespace app {

inline constexpr const char* kTimeScaleVariable = "UPGRADER_TIME_SCALE";
inline constexpr double kMinTimeScale = 0.1;
inline constexpr double kMaxTimeScale = 100;

// The time scale the variable's value asks for; nothing, with the reason in
// `note`, when it is not a number from kMinTimeScale to kMaxTimeScale.
std::optional<double> ParseTimeScale(const std::string& value, std::string& note);
// The run log's sentence for a time scale in use.
std::string TimeScaleNote(double scale);

// The taskbar button's progress: none while idle, the bar while a line
// runs, a full red bar once a run has failed.
struct TaskbarProgress {
    enum class State { None, Normal, Error };
    State state = State::None;
    int percent = 0;
    bool operator==(const TaskbarProgress&) const = default;
};
TaskbarProgress TaskbarFor(bool running, int percent, const std::optional<RunEnd>& lastRun);

// What the one-line status control shows of the status line: the newest
// entry of a run log (the whole log would show only its first entry), any
// other text as it is.
std::string NewestEntry(const std::string& statusLine);

// `name` in the folder of the program at `programPath`; empty when the path
// names no folder, so that nothing is ever looked up in the current folder.
std::wstring BesideProgram(const std::wstring& programPath, const std::wstring& name);

}  // namespace app
