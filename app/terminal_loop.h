#pragma once

#include <string>

#include "app/terminal_options.h"

namespace app {

// The program's exit statuses, as its help text lists them.
enum TerminalStatus : int {
    kSucceeded = 0,
    kStartupFailed = 1,
    kUsage = 2,
    kNoRunEnded = 3,
    kDownloadFailed = 4,
    kMayStayInDownloadMode = 5,
};

// What an exit status says, for the program's last line.
std::string StatusMeaning(int status, bool partlyWritten);

// Starts the program, shows the form and answers the keyboard, the signals
// and the boxes until one run has ended and the form closes; the exit
// status says how that run ended.
int RunTerminal(const TerminalOptions& options);

}  // namespace app
