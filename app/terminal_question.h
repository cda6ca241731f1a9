#pragma once

#include "app/terminal_input.h"
#include "app/prompt_queue.h"
#include "app/terminal_renderer.h"

namespace app {

// Asks one prompt on the screen and reads its answer from the keyboard.
// With `yes`, or once there is no more input, the box's default (OK, Yes)
// is taken and shown.
platform::BoxAnswer AskOnTerminal(const Prompt& prompt, TerminalScreen& screen, TerminalInput& input, bool yes);

}  // namespace app
