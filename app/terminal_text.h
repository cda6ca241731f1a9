#pragma once

#include <string>
#include <string_view>

namespace app {

// One line of the program's 8-bit text (code page 936 where it is not ASCII)
// as UTF-8 for a terminal: the characters the program itself writes (the run
// log's dash, the full-width comma) come out as such; any other double-byte
// character, stray byte or control character becomes '?', so that a text
// from the device cannot move the cursor or change the terminal's state.
std::string TerminalText(std::string_view text);

}  // namespace app
