#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace app {

// One line of the program's 8-bit text (code page 936 where it is not ASCII)
// as UTF-8 for a terminal: the characters the program itself writes (the run
// log's dash, the full-width comma) come out as such; any other double-byte
// character, stray byte or control character becomes '?', so that a text
// from the device cannot move the cursor or change the terminal's state.
std::string TerminalText(std::string_view text);

// Where a run stands: the time since it began, the image being written
// (empty between images) with the rate measured over it, and the time left.
struct RunPace {
    std::chrono::milliseconds elapsed{0};
    std::string image;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    double bytesPerSecond = 0;
    // How long the run still takes, once that is known.
    std::optional<std::chrono::milliseconds> left;
};

// The line a terminal shows under the ratio while a run goes on, such as
// "Elapsed 2:15   <image> 5.2 of 15.2 MiB at 1.3 MiB/s   about 3:10 left",
// <image> being the file being sent.
std::string ProgressDetails(const RunPace& pace);
// The same times for plain output, to a tenth of a second, as in
// "time: 135.2 s elapsed, about 190.4 s left".
std::string PlainPace(const RunPace& pace);

}  // namespace app
