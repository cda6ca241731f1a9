#include "app/terminal_loop.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "app/form_state.h"
#include "app/port_backend.h"
#include "app/startup.h"
#include "app/terminal_input.h"
#include "app/terminal_prompts.h"
#include "app/terminal_question.h"
#include "app/terminal_renderer.h"
#include "platform/backends.h"

namespace app {

std::string StatusMeaning(int status, bool partlyWritten)
{
    std::string meaning;
    switch (status) {
    case kSucceeded: return "the upgrade succeeded";
    case kStartupFailed: return "start-up failed";
    case kDownloadFailed: meaning = "download failure, the device was reset"; break;
    case kMayStayInDownloadMode: meaning = "failure that may leave the device in download mode"; break;
    default: return "no run ended";
    }
    if (partlyWritten) {
        meaning += "; its flash was partly written, so it may not work until this tool has upgraded it again (the run "
                   "log names its kept NV backup)";
    }
    return meaning;
}

int RunTerminal(const TerminalOptions& options)
{
    // A prompt that waits for an answer returns at once when no one is
    // left to give it.
    TerminalInput input;
    TerminalSignals signals([&input] { input.Close(); });
    std::unique_ptr<platform::ScaledClock> clock;
    if (options.timeScale > 0) clock = std::make_unique<platform::ScaledClock>(options.timeScale);
    std::optional<platform::ScopedClock> scopedClock;
    if (clock) scopedClock.emplace(*clock);
    // The front end's own ports and registry, so that what they find wrong
    // reaches the run log.
    PortBackend backend;
    std::string backendError;
    if (!backend.Install({options.portsDir, options.registryFile, options.usbTable, options.devices}, backendError)) {
        std::fprintf(stderr, "upgrader: %s\n", backendError.c_str());
        std::fprintf(stderr, "upgrader: exit status 1: %s\n", StatusMeaning(kStartupFailed, false).c_str());
        return kStartupFailed;
    }

    const char* term = std::getenv("TERM");
    TerminalScreen screen(::isatty(STDOUT_FILENO) && !(term && std::strcmp(term, "dumb") == 0));
    PromptQueue boxes([&screen, &input, yes = options.yes](const Prompt& prompt) {
        return AskOnTerminal(prompt, screen, input, yes);
    });
    platform::ScopedMessageBoxes scopedBoxes(boxes);

    CVadodIVODAvuzUzovDoc document;
    FormState form(document);
    Application application(document, form, backend.Replug());
    platform::ScopedProcess scopedProcess(application);

    screen.Header();
    const auto toRunLog = [&application](const std::string& text) {
        application.Control().Report().AppendLineText(0, text, true);
    };
    toRunLog(backend.Description());
    backend.OnNote(toRunLog);
    if (clock) {
        char note[96];
        std::snprintf(note, sizeof note, "Time scale %g: every wait runs %g times faster than written.", options.timeScale,
                      options.timeScale);
        application.Control().Report().AppendLineText(0, note, true);
    }
    if (application.Start() != StartUp::Running) {
        screen.Print(std::string("upgrader: exit status 1: ") + StatusMeaning(kStartupFailed, false));
        return kStartupFailed;
    }

    bool closing = false;
    bool hungUp = false;
    bool wasEnabled = false;
    FormView view = form.View();
    bool drawn = screen.Draw(view, true);
    for (;;) {
        view = form.WaitForChange(view.revision, drawn ? kDrawPeriod : screen.UntilNextDraw());
        // What the run logged before a box is shown before it.
        const bool boxWaiting = boxes.Waiting() > 0;
        drawn = screen.Draw(view, boxWaiting);
        if (boxWaiting) boxes.Serve();

        if (const auto line = input.ReadLine(0)) {
            if (input.Echoed()) screen.Echoed();
            if (*line == "q" || *line == "Q") form.PostClose();
            else if ((line->empty() || *line == "u" || *line == "U") && form.View().startEnabled) {
                screen.RunStarted();
                application.PressStart();
            }
        }
        // Closing the terminal leaves every box to its default and a run to
        // its end; the program then goes as if its window had been closed.
        if (signals.HungUp() && !hungUp) {
            hungUp = true;
            screen.Drop();
            form.PostClose();
        }
        if (signals.TakeCloses() > 0) form.PostClose();
        const bool enabled = form.View().startEnabled;
        if (options.autoStart && enabled && !wasEnabled && !closing) {
            screen.Print(std::string(kStartButton) + ": pressed (--auto-start)");
            screen.RunStarted();
            application.PressStart();
        }
        wasEnabled = enabled;

        if (form.TakeCloseRequest()) {
            if (application.ConfirmQuit()) {
                if (!closing && application.Control().AnyLineRunning()) {
                    screen.Print("upgrader: closing once line 1's run has ended");
                }
                closing = true;
            }
            form.CloseHandled();
        }
        // A run cannot be cut short safely: the window closes once it ends.
        if (closing && !application.Control().AnyLineRunning()) break;
    }

    form.MarkClosing();
    boxes.StopServing();
    application.Quit();
    screen.Draw(form.View(), true);

    const std::optional<RunEnd> finish = application.LastFinish();
    const int status = finish ? static_cast<int>(finish->code) : kNoRunEnded;
    screen.Print("upgrader: exit status " + std::to_string(status) + ": " +
                 StatusMeaning(status, finish && finish->partlyWritten));
    return status;
}

}  // namespace app
