#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/form_state.h"
#include "flashing/replug_control.h"
#include "platform/process.h"
#include "platform/single_instance.h"
#include "workflow/document.h"
#include "workflow/line_start.h"
#include "workflow/port_discovery.h"

namespace app {

inline constexpr const char* kInstanceName = "NollexK408D6,0x12,0xab,0x4f,0x06,0xab,0x1e,0x2c,0x8d,0x9b,0x1d,0x62";
inline constexpr const char* kAlreadyRunning = "UI is running, please close it and re-run this program!";
inline constexpr const char* kPathError = "source file path error!";
inline constexpr const char* kQuitQuestion =
    "Upgrade is running, stopping the application will damage the data card. Are you sure to quit?";
inline constexpr const char* kQuitTitle = "Warning";

// The re-plug thread: started once at start-up, stopped for good when a line
// starts and at quit. The Windows program provides it; elsewhere there is
// none.
class IReplugThread : public flashing::IReplugControl {
public:
    // Its pauses go by `backends`' clock, its boxes through their message
    // boxes; a library is loaded from `workingFolder`.
    virtual void Start(const platform::Backends& backends, const std::string& workingFolder) = 0;
};

enum class StartUp { Running, AlreadyRunning, PathError };

// The application without its window: start-up, the background threads a
// line start stops (and gives back when it refuses), the start button, the
// quit confirmation and the quit.
// Ending the process from inside the workflow (IProcess) closes the form
// instead, so that every thread still stops at a safe point.
class Application final : public IBackgroundThreads, public platform::IProcess {
public:
    // `instanceName` marks the running copy; tests give one of their own.
    Application(CVadodIVODAvuzUzovDoc& document, FormState& form, IReplugThread* replug = nullptr,
                std::string instanceName = kInstanceName);
    ~Application() override;
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Refuses a second copy, prepares the working folder and line 1's
    // paths, sets aside an NV backup an earlier run left, extracts the
    // payloads, puts the form into its first state and starts the re-plug
    // thread and line 1's port search. Shows its own failure; nothing runs
    // after a failure. Firmware that could not be extracted whole is said in
    // the run log, and then nothing is started: the device is left alone.
    StartUp Start();

    // The start button ("UPDATE").
    void PressStart() { m_control.StartLine(0); }
    // The close box: true when the window may close. While a line runs the
    // user is asked first.
    [[nodiscard]] bool ConfirmQuit();
    // Once the window closes: stops the background threads, waits for the
    // workers, then removes the working files.
    void Quit();

    // Other programs' request for the uninstaller, step one: frees the
    // diagnostic port the current line's protocol object holds, with that
    // line's port search stopped so that it cannot be in the middle of a
    // request. False, with nothing touched, while a line runs: its worker
    // owns the port until the run ends.
    [[nodiscard]] bool ReleaseCurrentPort();
    // Step two, once the uninstaller was started: the search stopped by
    // ReleaseCurrentPort goes on.
    void ResumeAfterRelease();

    // How the last run ended, nothing while none has.
    std::optional<RunEnd> LastFinish() const;
    // Whether the workflow asked to end the process.
    bool ExitRequested() const { return m_exitRequested; }

    LineControl& Control() { return m_control; }
    const platform::Backends& Backends() const { return m_document.Backends(); }

    void StopPortSearch(int line) override { m_search.Stop(line); }
    void StartPortSearch(int line) override { m_search.Start(line); }
    void StopReplug() override;
    flashing::IReplugControl* Replug() override;
    void Exit(int code) override;

private:
    CVadodIVODAvuzUzovDoc& m_document;
    FormState& m_form;
    IReplugThread* m_replug;
    // Started by Start: the clean-ups stop and unload it from then on.
    std::atomic<bool> m_replugStarted{false};
    std::string m_instanceName;
    LineReporting m_report;
    PortSearch m_search;
    LineControl m_control;
    std::unique_ptr<platform::SingleInstance> m_instance;
    mutable std::mutex m_finishMutex;
    std::optional<RunEnd> m_finish;
    std::atomic<bool> m_exitRequested{false};
    std::optional<int> m_releasedSearch;
};

}  // namespace app
