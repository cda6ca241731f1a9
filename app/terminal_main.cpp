// upgrader: the upgrade tool in a terminal. It renders the main form (the
// instructions, line 1's port, version, status, ratio and progress, and the
// "UPDATE" action), asks the message boxes as prompts and ends after one
// run, with an exit status that says how the run ended.
#include <csignal>
#include <cstdio>
#include <optional>

#include "app/terminal_loop.h"
#include "app/terminal_options.h"
#include "platform/files.h"

int main(int argc, char** argv)
{
    // A closed standard stream would be taken by the next file opened: a
    // port, the lock, a pipe read as the keyboard.
    if (!platform::ReserveStandardStreams()) return app::kStartupFailed;
    bool help = false;
    const std::optional<app::TerminalOptions> options = app::ParseTerminalOptions(argc, argv, help);
    if (help) {
        std::fputs(app::kTerminalUsage, stdout);
        return 0;
    }
    if (!options) {
        std::fputs(app::kTerminalUsage, stderr);
        return app::kUsage;
    }
    // A closed output pipe must not end the program in the middle of a run,
    // nor a file-size limit in the middle of a write: that write fails and
    // says so instead.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return app::RunTerminal(*options);
}
