#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "flashing/replug_control.h"
#include "platform/clock.h"
#include "workflow/document.h"
#include "workflow/form_link.h"
#include "workflow/line_reporting.h"
#include "workflow/run_log.h"

// The reporting operations as the form shows them: each line's run log and
// progress go to the form's controls through the form link.
class LineReporting final : public ILineReporter {
public:
    // Run log entries are stamped with `clock`'s local time.
    LineReporting(IFormLink& form, platform::IClock& clock) : m_form(form), m_clock(clock) {}

    void SetLineProgress(int line, int percent) override;
    void AppendLineText(int line, std::string_view text, bool stamped) override;
    void ShowTransfer(int line, const std::string& image, std::uint64_t done, std::uint64_t total) override
    {
        m_form.ShowTransfer(line, image, done, total);
    }
    void ShowTimeLeft(int line, std::optional<std::uint32_t> leftMs, std::uint32_t tick) override
    {
        m_form.ShowTimeLeft(line, leftMs, tick);
    }
    // Replaces the whole text; it shows with the next entry.
    void ReplaceLineText(int line, std::string text);
    std::string LineText(int line) const;

private:
    IFormLink& m_form;
    platform::IClock& m_clock;
    std::array<RunLog, CVadodIVODAvuzUzovDoc::kLineCount> m_logs;
};

// The threads that must not touch a line while its upgrade runs.
class IBackgroundThreads {
public:
    virtual ~IBackgroundThreads() = default;
    // Each stop returns once the thread no longer touches anything.
    virtual void StopPortSearch(int line) = 0;
    // Gives the line back to a new port search when its start was refused.
    virtual void StartPortSearch(int line) = 0;
    virtual void StopReplug() = 0;
    // The re-plug thread and library the end of a run unloads; null when the
    // application runs none.
    virtual flashing::IReplugControl* Replug() = 0;
};

enum class FinishCode { Success = 0, DownloadFailure = 4, MayStayInDownloadMode = 5 };

// How a run ended: its code, and whether it failed after the first image
// write began, so that the device may need another upgrade before it works.
struct RunEnd {
    FinishCode code;
    bool partlyWritten;
};

// Starting a line on its worker thread and ending it.
class LineControl {
public:
    static constexpr const char* kProduct = "BEL_MD_LR520S";
    static constexpr const char* kWrongModel = "The model is not correct, not allow use this tool!";

    LineControl(CVadodIVODAvuzUzovDoc& doc, LineReporting& report, IFormLink& form, IBackgroundThreads& threads);
    // Waits for the workers still running.
    ~LineControl();
    LineControl(const LineControl&) = delete;
    LineControl& operator=(const LineControl&) = delete;

    // The start button of `line`: checks the model and the firmware files,
    // stops the background threads and starts the upgrade worker.
    void StartLine(int line);
    // Called by the worker as its run begins, on the worker's thread: keeps
    // the computer awake until FinishLine. Where it cannot, the run goes on
    // and the run log says so, once per program.
    void KeepAwake(int line);
    // Ends a run: the reason of a failed run once, then the final text twice
    // in the log, the device reset in the mode it is in or the user told to
    // reset it, the line idle again, the working files removed. The NV backup
    // goes only when it was restored; otherwise it is kept under a name of
    // its own.
    void FinishLine(int line, std::string_view text, FinishCode code, std::string_view reason = {});
    // Whether quitting must ask first.
    bool AnyLineRunning() const { return m_doc.AnyRunning(); }
    void WaitForWorkers();
    // Told how each run ended, once FinishLine is done (the front end's exit
    // status). Set before the first run starts.
    void OnFinish(std::function<void(int line, RunEnd end)> observer) { m_onFinish = std::move(observer); }

    CVadodIVODAvuzUzovDoc& Document() { return m_doc; }
    LineReporting& Report() { return m_report; }
    IFormLink& Form() { return m_form; }
    LineContext Context(int line) { return {line, m_doc.Line(line), m_report}; }

private:
    void SettleNvBackup(int line);

    CVadodIVODAvuzUzovDoc& m_doc;
    LineReporting& m_report;
    IFormLink& m_form;
    IBackgroundThreads& m_threads;
    std::mutex m_workersMutex;
    std::array<std::thread, CVadodIVODAvuzUzovDoc::kLineCount> m_workers;
    std::function<void(int, RunEnd)> m_onFinish;
    std::atomic<bool> m_toldNotAwake{false};
};

// Reads the device's versions (once more after a pause when the first read
// fails) and says whether its product text names the model this tool is
// for: no other model may be written.
bool ModelAccepted(DownloadLine& line);
