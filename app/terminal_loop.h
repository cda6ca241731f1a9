#pragma once

#include <string>

#include "app/session.h"
#include "app/terminal_options.h"

namespace app {

// Starts the program, shows the form and answers the keyboard, the signals
// and the boxes until one run has ended and the form closes; the exit
// status says how that run ended.
int RunTerminal(const TerminalOptions& options);

}  // namespace app
