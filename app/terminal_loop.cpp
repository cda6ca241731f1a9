#include "app/terminal_loop.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "app/port_backend.h"
#include "app/terminal_input.h"
#include "app/terminal_question.h"
#include "app/terminal_renderer.h"
#include "app/window_policy.h"
#include "flashing/working_folder.h"
#include "platform/backends.h"
#include "platform/files.h"

namespace app {
namespace {

// The session's face on a terminal: a change wakes the loop, a box is a
// prompt below what the run logged so far.
class TerminalFace final : public ISessionFace {
public:
    TerminalFace(TerminalScreen& screen, TerminalInput& input, bool yes) : m_screen(screen), m_input(input), m_yes(yes) {}

    void Show(const Session& session) { m_session = &session; }

    void Changed() override
    {
        {
            std::lock_guard lock(m_mutex);
            ++m_changes;
        }
        m_changed.notify_all();
    }
    platform::BoxAnswer Ask(const Prompt& prompt) override
    {
        if (m_session) static_cast<void>(m_screen.Draw(m_session->View(), true));  // forced: it always draws
        return AskOnTerminal(prompt, m_screen, m_input, m_yes);
    }
    void Starting(bool automatic) override
    {
        if (automatic) m_screen.Print(std::string(kStartButton) + ": pressed (--auto-start)");
        m_screen.RunStarted();
    }

    // Returns once something changed since the last call, or after `limit`.
    void Wait(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, limit, [&] { return m_changes != m_seen; });
        m_seen = m_changes;
    }

private:
    TerminalScreen& m_screen;
    TerminalInput& m_input;
    const bool m_yes;
    const Session* m_session = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_changes = 0;
    std::uint64_t m_seen = 0;
};

}  // namespace

int RunTerminal(const TerminalOptions& options)
{
    const auto refuse = [](const std::string& why) {
        std::fprintf(stderr, "upgrader: %s\nupgrader: exit status 1: %s\n", why.c_str(),
                     StatusMeaning(kStartupFailed, false).c_str());
        return kStartupFailed;
    };
    // Nothing is created, locked or extracted in a folder that depends on
    // the current folder or cannot be written.
    const std::string folder = flashing::DefaultWorkingFolder();
    if (const StepResult usable = flashing::CheckWorkingFolder(folder); !usable) return refuse(usable.Reason());

    std::unique_ptr<platform::ScaledClock> scaled;
    if (options.timeScale > 0) scaled = std::make_unique<platform::ScaledClock>(options.timeScale);
    platform::RealClock realClock;
    platform::IClock& clock = scaled ? static_cast<platform::IClock&>(*scaled) : realClock;

    TerminalInput input;
    const char* term = std::getenv("TERM");
    TerminalScreen screen(::isatty(STDOUT_FILENO) && !(term && std::strcmp(term, "dumb") == 0), clock);
    // Once no one is left to answer, a waiting prompt returns at once; and
    // nothing is shown any more, whatever the program is doing then and
    // whatever signal follows.
    TerminalSignals signals([&input, &screen] {
        input.Close();
        screen.Drop();
    });
    // The front end's own ports and registry, so that what they find wrong
    // reaches the run log.
    PortBackend backend;
    if (const StepResult installed =
            backend.Install({options.portsDir, options.registryFile, options.usbTable, options.devices});
        !installed) {
        return refuse(installed.Reason());
    }

    TerminalFace face(screen, input, options.yes);
    const std::unique_ptr<platform::IKeepAwake> awake = platform::SystemKeepAwake();
    platform::SystemProcess process;
    const std::unique_ptr<platform::IMessageBoxes> boxes = platform::SystemMessageBoxes();
    const platform::Backends backends{clock,    backend.SerialPorts(), *awake, process, backend.PortFinder(),
                                      *boxes,   platform::EmbeddedPayloads(), platform::ByteLogPath()};
    Session session(face, backends, {folder, backend.Replug(), options.autoStart});

    screen.Header();
    const auto toRunLog = [&session](const std::string& text) { session.Note(text); };
    toRunLog(backend.Description());
    backend.OnNote(toRunLog);
    if (scaled) toRunLog(TimeScaleNote(options.timeScale));
    if (session.Start() != StartUp::Running) {
        screen.Print(std::string("upgrader: exit status 1: ") + StatusMeaning(kStartupFailed, false));
        return kStartupFailed;
    }

    // From now on a box comes below the form as last drawn; start-up's own
    // boxes come before the form is first shown.
    face.Show(session);
    bool hungUp = false;
    bool drawn = screen.Draw(session.View(), true);
    for (;;) {
        face.Wait(drawn ? kDrawPeriod : screen.UntilNextDraw());
        drawn = screen.Draw(session.View(), false);

        if (const auto line = input.ReadLine(0)) {
            if (input.Echoed()) screen.Echoed();
            if (*line == "q" || *line == "Q") session.Close();
            else if (line->empty() || *line == "u" || *line == "U") static_cast<void>(session.PressStart());
        }
        // Closing the terminal leaves every box to its default and a run to
        // its end; the program then goes as if its window had been closed.
        if (signals.HungUp() && !hungUp) {
            hungUp = true;
            session.Close();
        }
        if (signals.TakeCloses() > 0) session.Close();

        const SessionEvents events = session.Pump();
        if (events.closeDeferred) screen.Print("upgrader: closing once line 1's run has ended");
        if (events.closeNow) break;
    }

    const int status = session.Finish();
    static_cast<void>(screen.Draw(session.View(), true));  // forced: it always draws
    screen.Print("upgrader: exit status " + std::to_string(status) + ": " +
                 StatusMeaning(status, session.PartlyWritten()));
    return status;
}

}  // namespace app
