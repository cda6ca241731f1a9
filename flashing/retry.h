#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>

#include "platform/clock.h"

namespace flashing {

// Whether a failed last attempt is followed by its pause too: the upgrade
// keeps the device's pace there, a one-shot tool reports at once.
enum class LastPause { Keep, Skip };

// Tries `attempt` up to `times` times, pausing `pauseMs` on `clock` after each failure
// (after the last one only with LastPause::Keep). Gives the result of the
// last attempt made: a bool or a StepResult.
template <class Attempt>
[[nodiscard]] auto Retry(platform::IClock& clock, int times, std::uint32_t pauseMs, LastPause last, Attempt&& attempt)
    -> decltype(attempt())
{
    for (int i = 1;; ++i) {
        auto result = attempt();
        if (result || (i == times && last == LastPause::Skip)) return result;
        clock.SleepMs(pauseMs);
        if (i == times) return result;
    }
}

// Tries `attempt`, and after each failure runs the next of `between` (a
// pause, or a reopen and a pause) and tries again. Gives the result of the
// last attempt made.
template <class Attempt>
[[nodiscard]] auto RetryBetween(Attempt&& attempt, std::initializer_list<std::function<void()>> between)
    -> decltype(attempt())
{
    auto result = attempt();
    for (const auto& pause : between) {
        if (result) break;
        pause();
        result = attempt();
    }
    return result;
}

}  // namespace flashing
