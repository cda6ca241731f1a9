#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "app/form_state.h"
#include "app/terminal_text.h"
#include "platform/clock.h"

namespace app {

// Progress and log output is redrawn at most this often.
inline constexpr std::chrono::milliseconds kDrawPeriod{100};

// Everything written to standard output. On a terminal line 1's controls
// stay at the bottom and are redrawn in place, with the run log and the
// boxes scrolling above them; otherwise each change is one plain line.
class TerminalScreen {
public:
    using Steady = std::chrono::steady_clock;

    // `clock` is the run's: its elapsed time and time left go by it.
    TerminalScreen(bool terminal, platform::IClock& clock) : m_terminal(terminal), m_clock(clock) {}

    // The title and the form's fixed texts.
    void Header();
    // Shows what changed since the last drawing; false when the last one is
    // too recent and this one must wait, unless forced.
    [[nodiscard]] bool Draw(const FormView& view, bool force);
    std::chrono::milliseconds UntilNextDraw();
    // Scrolling text (boxes, notes); `open` leaves the cursor after it for
    // an answer.
    void Print(const std::string& text, bool open = false);
    // "UPDATE" was pressed: the run's clock starts.
    void RunStarted();
    // A typed line moved the cursor one line down, below the controls.
    void Echoed();
    // The terminal is gone: from now on nothing is shown, and nothing
    // written to it can fail or block.
    void Drop();

private:
    void Write(const std::string& text);
    std::string EraseBlock();
    std::string LogLines(const std::string& log);
    std::string Block(const FormView& view);
    RunPace Pace(const FormView& view);
    std::string Changes(const FormView& view);

    std::mutex m_mutex;
    const bool m_terminal;
    platform::IClock& m_clock;
    bool m_dropped = false;
    FormView m_drawn;
    std::string m_shownLog;
    std::size_t m_blockLines = 0;
    bool m_blockStale = false;
    Steady::time_point m_lastDraw{};
    std::optional<std::uint32_t> m_runStart;
    std::string m_rateImage;
    std::uint64_t m_rateFrom = 0;
    std::uint32_t m_rateSince = 0;
};

}  // namespace app
