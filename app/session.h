#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/form_state.h"
#include "app/startup.h"
#include "app/prompt_queue.h"
#include "platform/backends.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "workflow/document.h"

namespace app {

// The program's exit statuses, the same under every face.
enum ExitStatus : int {
    kSucceeded = 0,
    kStartupFailed = 1,
    kUsage = 2,
    kNoRunEnded = 3,
    kDownloadFailed = 4,
    kMayStayInDownloadMode = 5,
};

// What an exit status says, for the program's last line.
std::string StatusMeaning(int status, bool partlyWritten);

// What a face (the terminal, the window) does for the session.
class ISessionFace {
public:
    virtual ~ISessionFace() = default;
    // The form changed, a box waits or a close was asked for. Called from
    // any thread, often; it must return at once (the terminal wakes its
    // loop, the window posts itself a message). The face then calls Pump on
    // its user-interface thread.
    virtual void Changed() = 0;
    // Asks one box and returns its answer: on the user-interface thread
    // while the face serves, on the raising thread once it has finished.
    virtual platform::BoxAnswer Ask(const Prompt& prompt) = 0;
    // "UPDATE" is about to be pressed, by the user or for an unattended
    // run; on the user-interface thread.
    virtual void Starting(bool /*automatic*/) {}
};

struct SessionOptions {
    // Where the payloads are extracted and the runs read them from.
    std::string workingFolder;
    IReplugThread* replug = nullptr;
    // Presses "UPDATE" whenever it becomes available (unattended runs).
    bool autoStart = false;
    std::string instanceName = kInstanceName;
};

// What one Pump saw, for the face to show.
struct SessionEvents {
    // A close was confirmed while a line runs: the window closes once the
    // run ends (told once).
    bool closeDeferred = false;
    // The window must close now; then call Finish.
    bool closeNow = false;
};

// One run of the program under any face: the document, the form, the
// application and its message boxes, with the close, quit and auto-start
// policy and the exit status. A face renders View(), feeds the user's
// presses in and calls Pump whenever Changed told it to.
class Session final {
public:
    // The document works with `backends`, but for the end of the process
    // and the message boxes: the session ends it as the application does
    // (IProcess), and its boxes are asked by the face.
    Session(ISessionFace& face, const platform::Backends& backends, SessionOptions options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // On the user-interface thread: starts the application. Shows its own
    // failure.
    StartUp Start();

    // On the user-interface thread: asks the waiting boxes, takes the close
    // requests (asking first while a line runs) and presses "UPDATE" for an
    // unattended run. A call made while a box it asks is open (from that
    // box's own message loop) returns at once; the outer call goes on.
    SessionEvents Pump();

    // The start button; false while it is disabled.
    bool PressStart();
    // The close box, or the end of the process asked for by the face.
    void Close();
    // Whether a confirmed close waits for a run to end.
    bool Closing() const { return m_closing; }

    // Once the window has closed: waiting close requests return, later
    // boxes are asked on their own threads, the background threads stop,
    // the workers are waited for and the working files go. The exit status
    // of how the run ended.
    int Finish();
    // How the last run ended, for the program's last line.
    bool PartlyWritten() const;

    FormView View() const { return m_form.View(); }
    FormState& Form() { return m_form; }
    Application& App() { return m_application; }
    // Appends a stamped line to line 1's run log.
    void Note(const std::string& text);

private:
    // Ends the process through the application, which closes the form first.
    class ApplicationEnd final : public platform::IProcess {
    public:
        explicit ApplicationEnd(Session& session) : m_session(session) {}
        void Exit(int code) override { m_session.m_application.Exit(code); }

    private:
        Session& m_session;
    };

    ISessionFace& m_face;
    const bool m_autoStart;
    ApplicationEnd m_end{*this};
    std::unique_ptr<PromptQueue> m_boxes;
    CVadodIVODAvuzUzovDoc m_document;
    FormState m_form;
    Application m_application;
    bool m_pumping = false;
    bool m_closing = false;
    bool m_waitForRun = false;
    bool m_wasEnabled = false;
    bool m_finished = false;
};

}  // namespace app
