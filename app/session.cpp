#include "app/session.h"

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

Session::Session(ISessionFace& face, const platform::Backends& backends, SessionOptions options)
    : m_face(face), m_autoStart(options.autoStart),
      m_boxes(std::make_unique<PromptQueue>([&face](const Prompt& prompt) { return face.Ask(prompt); },
                                            [&face] { face.Changed(); })),
      m_document({backends.clock, backends.serialPorts, backends.keepAwake, m_end, backends.portFinder, *m_boxes,
                  backends.payloads, backends.failureLogPath},
                 std::move(options.workingFolder)),
      m_form(m_document), m_application(m_document, m_form, options.replug, std::move(options.instanceName))
{
    m_form.OnChange([&face] { face.Changed(); });
}

Session::~Session() = default;

StartUp Session::Start()
{
    return m_application.Start();
}

SessionEvents Session::Pump()
{
    SessionEvents events;
    if (m_pumping || m_finished) return events;
    m_pumping = true;
    if (m_boxes->Waiting() > 0) m_boxes->Serve();

    if (m_form.TakeCloseRequest()) {
        const bool running = m_application.Control().AnyLineRunning();
        if (m_application.ConfirmQuit()) {
            // A run cannot be cut short safely: the window closes at the
            // run's own close request, once its final box has been asked
            // here with the window still there.
            if (running && !m_closing) events.closeDeferred = true;
            m_waitForRun = running;
            m_closing = true;
        }
        m_form.CloseHandled();
    }
    // After the close request: a close asked for in the same turn as the
    // device became ready must not be overtaken by an unattended start.
    const bool enabled = m_form.View().startEnabled;
    if (m_autoStart && enabled && !m_wasEnabled && !m_closing) {
        m_face.Starting(true);
        m_application.PressStart();
    }
    m_wasEnabled = enabled;
    events.closeNow = m_closing && !m_waitForRun && !m_application.Control().AnyLineRunning();
    m_pumping = false;
    return events;
}

bool Session::PressStart()
{
    if (m_finished || !m_form.View().startEnabled) return false;
    m_face.Starting(false);
    m_application.PressStart();
    return true;
}

void Session::Close() { m_form.PostClose(); }

int Session::Finish()
{
    m_finished = true;
    m_form.MarkClosing();
    m_boxes->StopServing();
    m_application.Quit();
    const std::optional<RunEnd> finish = m_application.LastFinish();
    return finish ? static_cast<int>(finish->code) : kNoRunEnded;
}

bool Session::PartlyWritten() const
{
    const std::optional<RunEnd> finish = m_application.LastFinish();
    return finish && finish->partlyWritten;
}

void Session::Note(const std::string& text) { m_application.Control().Report().AppendLineText(0, text, true); }

}  // namespace app
