#include "app/terminal_question.h"

#include <optional>
#include <string>

#include "app/terminal_text.h"

namespace app {

platform::BoxAnswer AskOnTerminal(const Prompt& prompt, TerminalScreen& screen, TerminalInput& input, bool yes)
{
    using platform::BoxAnswer;
    using platform::BoxButtons;
    const std::string shown = "[" + TerminalText(prompt.title) + "] " + TerminalText(prompt.text);
    const BoxAnswer fallback = prompt.buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
    const char* fallbackName = fallback == BoxAnswer::Yes ? "Yes" : "OK";
    if (yes || input.Ended()) {
        screen.Print(shown + "  -> " + fallbackName);
        return fallback;
    }
    const char* question = prompt.buttons == BoxButtons::YesNo      ? "  y: Yes, n: No > "
                           : prompt.buttons == BoxButtons::OkCancel ? "  Enter: OK, c: Cancel > "
                                                                    : "  Enter: OK > ";
    for (;;) {
        screen.Print(shown + "\n" + question, true);
        const std::optional<std::string> line = input.ReadLine(-1);
        if (!line) {
            screen.Print(std::string("\n  (no more input) -> ") + fallbackName);
            return fallback;
        }
        // Input that no terminal echoed completes the prompt's line.
        if (!input.Echoed()) screen.Print(TerminalText(*line));
        if (prompt.buttons == BoxButtons::Ok) return BoxAnswer::Ok;
        if (prompt.buttons == BoxButtons::OkCancel) return *line == "c" || *line == "C" ? BoxAnswer::Cancel : BoxAnswer::Ok;
        if (*line == "y" || *line == "Y" || *line == "yes") return BoxAnswer::Yes;
        if (*line == "n" || *line == "N" || *line == "no") return BoxAnswer::No;
    }
}

}  // namespace app
