#include "workflow/line_start.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <system_error>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "flashing/box_title.h"
#include "flashing/clean_up.h"
#include "flashing/pre_run_check.h"
#include "link/sentence.h"
#include "platform/backends.h"
#include "platform/keep_awake.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "workflow/nv_backup.h"
#include "workflow/run_journal.h"
#include "workflow/upgrade_worker.h"

namespace {

constexpr std::uint32_t kVersionRetryMs = 1000;
constexpr std::uint32_t kSettleMs = 100;
// "Line%d fail，please reset the stick manually" with its full-width comma in
// code page 936.
constexpr const char* kResetByHand = "Line%d fail\xA3\xACplease reset the stick manually";

constexpr const char* kReasonLead = "Reason: ";
constexpr const char* kNotReset =
    "The device did not take its reset and may still be in download mode: pull the stick out and insert it again.";
constexpr const char* kPartlyWritten =
    "The flash was left partly written: the device may not work until this tool has upgraded it again.";

// The reset the device understands in the mode it was left in. A boot
// downloader that never handed over to the flash programmer refuses the
// programmer's reset and takes its own.
StepResult ResetDevice(CPhoneProtocol& protocol)
{
    switch (protocol.Mode()) {
    case ProtocolMode::Dmss: return download::DmssReset(protocol);
    case ProtocolMode::Streaming:
        if (download::StreamReset(protocol)) return {};
        return download::DmssReset(protocol);
    default: return diag::ResetPhone(protocol);
    }
}

// What pressing "UPDATE" will do to a device that an earlier run left
// behind, asked before anything is sent to it.
std::string RescueQuestion(RunKind kind, const workflow::RunJournal& journal, const std::string& folder)
{
    const std::string backup = (std::filesystem::path(folder) / journal.backup).string();
    const std::string cut = "The upgrade of the modem with ESN " + workflow::EsnText(journal.esn) + " did not end (it stopped at \"" +
                            workflow::PhaseName(journal.phase) + "\"). ";
    const std::string keep = " Press No to leave the modem as it is.";
    if (kind == RunKind::RestoreOnly) {
        return cut + "Its new firmware is written, but its own NV items are not back yet. Press Yes to put back the "
                     "NV items saved before that upgrade, from " + backup + "." + keep;
    }
    return cut + "The modem is in its " +
           (kind == RunKind::FromBootDownloader ? "boot downloader" : "flash programmer") +
           ". Press Yes to finish the upgrade: every image is written again, then the NV items saved before it are "
           "put back from " + backup + "." + keep;
}

}  // namespace

bool ModelAccepted(DownloadLine& line)
{
    if (!diag::GetFourVersions(line.protocol, line.versions)) {
        line.Clock().SleepMs(kVersionRetryMs);
        // The product check below judges whatever came back.
        static_cast<void>(diag::GetFourVersions(line.protocol, line.versions));
    }
    std::string product = line.versions.Field(9);
    std::transform(product.begin(), product.end(), product.begin(), [](unsigned char c) { return std::toupper(c); });
    return product.find(LineControl::kProduct) != std::string::npos;
}

void LineReporting::SetLineProgress(int line, int percent) { m_form.ShowProgress(line, percent); }

void LineReporting::AppendLineText(int line, std::string_view text, bool stamped)
{
    m_form.ShowLineText(line, m_logs[static_cast<std::size_t>(line)].Append(text, stamped ? std::optional(m_clock.Now()) : std::nullopt));
}

void LineReporting::ReplaceLineText(int line, std::string text) { m_logs[static_cast<std::size_t>(line)].Replace(std::move(text)); }

std::string LineReporting::LineText(int line) const { return m_logs[static_cast<std::size_t>(line)].Text(); }

LineControl::LineControl(CVadodIVODAvuzUzovDoc& doc, LineReporting& report, IFormLink& form, IBackgroundThreads& threads)
    : m_doc(doc), m_report(report), m_form(form), m_threads(threads)
{
}

LineControl::~LineControl() { WaitForWorkers(); }

void LineControl::WaitForWorkers()
{
    std::lock_guard lock(m_workersMutex);
    for (std::thread& worker : m_workers) {
        if (worker.joinable()) worker.join();
    }
}

void LineControl::StartLine(int index)
{
    DownloadLine& line = m_doc.Line(index);
    if (line.running) {
        m_form.RefreshLineControls(index, false);
        return;
    }
    // From here on this thread alone talks to the device: the port search
    // must not be in the middle of a request on the same port.
    m_threads.StopPortSearch(index);

    // Another program that holds a port would take replies meant for this
    // one, or write into the middle of a flash.
    for (const int port : {line.diagPort.load(), line.modemPort.load()}) {
        const std::string holders = port > 0 ? line.protocol.port.Ports().HeldBy(port) : std::string();
        if (holders.empty()) continue;
        const std::string text = "COM" + std::to_string(port) + " is held open by " + holders +
                                 ": close that program, then press UPDATE again.";
        m_report.AppendLineText(index, text, true);
        m_doc.Backends().messageBoxes.Show(text, flashing::kBoxTitle, platform::BoxButtons::Ok,
                                      platform::BoxIcon::None);
        m_threads.StartPortSearch(index);
        return;
    }

    FoundDevice found{index, line.StatusText()};
    const std::string folder = line.record.nvFolder.Get();
    const DeviceMode mode = line.mode;
    std::optional<workflow::RunJournal> rescued;
    // A device in download mode cannot tell its model or its ESN: only the
    // journal of a run cut short lets it be touched, and only the one.
    if (mode != DeviceMode::Normal) {
        const workflow::FoundJournals journals = workflow::FindJournals(folder, line.Clock().Now());
        for (const std::string& note : journals.notes) m_report.AppendLineText(index, note, true);
        if (journals.journals.size() != 1) {
            m_report.AppendLineText(index, journals.journals.empty()
                                               ? "No run journal says which modem this is: it is left alone."
                                               : "More than one run journal is kept in " + folder +
                                                     ", and nothing shows which modem this is: move all but this "
                                                     "modem's journal elsewhere, then press UPDATE again.",
                                    true);
            m_threads.StartPortSearch(index);
            return;
        }
        rescued = journals.journals.front();
        found.kind = mode == DeviceMode::BootDownloader ? RunKind::FromBootDownloader : RunKind::FromFlashProgrammer;
    } else if (!ModelAccepted(line)) {
        m_doc.Backends().messageBoxes.Show(kWrongModel, flashing::kBoxTitle, platform::BoxButtons::Ok, platform::BoxIcon::None);
        m_doc.Backends().process.Exit(0);
        return;
    }

    const LineContext ctx = Context(index);
    if (!flashing::CheckImageFolder(ctx, true)) {
        m_threads.StartPortSearch(index);
        return;
    }
    // A device in normal mode whose file system a cut run rewrote holds
    // factory values: its backup goes back, and no new one is taken.
    if (mode == DeviceMode::Normal) {
        const workflow::FoundJournals journals = workflow::FindJournals(folder, line.Clock().Now());
        for (const std::string& note : journals.notes) m_report.AppendLineText(index, note, true);
        std::uint32_t esn = 0;
        if (!journals.journals.empty() && diag::GetEsn(line.protocol, esn)) {
            rescued = workflow::JournalOf(journals, esn);
            if (rescued && rescued->phase < RunPhase::FileSystem) rescued.reset();
            if (rescued) found.kind = RunKind::RestoreOnly;
        }
    }
    if (rescued) {
        found.journal = *rescued;
        if (m_doc.Backends().messageBoxes.Show(RescueQuestion(found.kind, *rescued, folder), flashing::kBoxTitle,
                                          platform::BoxButtons::YesNo, platform::BoxIcon::Question) != platform::BoxAnswer::Yes) {
            m_threads.StartPortSearch(index);
            return;
        }
    }
    // A backup left by an earlier run may be the only copy of a device's
    // calibration: it is kept beside the new one, and a run that would
    // overwrite it does not start.
    const std::string backup = line.record.nvBackupPath.Get();
    const std::string kept = workflow::SetNvBackupAside(backup, "previous", line.Clock().Now());
    if (!kept.empty()) m_report.AppendLineText(index, "NV backup of an earlier run kept in " + kept, true);
    if (kept.empty() && std::filesystem::exists(backup)) {
        m_report.AppendLineText(index, "The NV backup of an earlier run in " + backup +
                                           " cannot be moved aside: move it elsewhere, then start again.", true);
        m_threads.StartPortSearch(index);
        return;
    }

    for (int other = 0; other < CVadodIVODAvuzUzovDoc::kLineCount; ++other) {
        if (!m_doc.Line(other).running) m_form.RefreshLineControls(other, false);
    }
    line.running = true;
    m_form.RefreshLineControls(index, false);

    m_threads.StopReplug();
    line.nvRestored = false;
    line.flashBegun = false;
    line.esn = 0xFFFFFFFF;
    line.runBackup.clear();
    line.journaled = false;

    m_doc.currentLine = index;
    m_report.SetLineProgress(index, 0);
    {
        std::lock_guard lock(m_workersMutex);
        std::thread& worker = m_workers[static_cast<std::size_t>(index)];
        if (worker.joinable()) worker.join();
        worker = std::thread([this, found] { UpgradeWorker(*this, found); });
    }

    m_doc.Backends().clock.SleepMs(kSettleMs);
    for (int other = 0; other < CVadodIVODAvuzUzovDoc::kLineCount; ++other) {
        if (!m_doc.Line(other).running) m_form.RefreshLineControls(other, true);
    }
}

// Only a backup whose items are back in the device may go; any other is
// kept under a name of its own, in the run log.
void LineControl::SettleNvBackup(int index)
{
    DownloadLine& line = m_doc.Line(index);
    const std::string backup = line.runBackup.empty() ? line.record.nvBackupPath.Get() : line.runBackup;
    if (line.nvRestored) {
        std::error_code ignored;
        std::filesystem::remove(backup, ignored);
        if (line.journaled && !workflow::RemoveJournal(line.record.nvFolder.Get(), line.esn)) {
            m_report.AppendLineText(index, "The run journal " + workflow::JournalPath(line.record.nvFolder.Get(), line.esn) +
                                               " could not be removed: it is harmless, and may be deleted.", true);
        }
        return;
    }
    // Kept already, and named in the run journal.
    if (!line.runBackup.empty()) {
        if (std::filesystem::exists(backup)) m_report.AppendLineText(index, "NV backup kept in " + backup, true);
        return;
    }
    const std::string kept = workflow::SetNvBackupAside(backup, workflow::EsnText(line.esn), line.Clock().Now());
    if (!kept.empty()) m_report.AppendLineText(index, "NV backup kept in " + kept, true);
    else if (std::filesystem::exists(backup)) m_report.AppendLineText(index, "NV backup kept in " + backup, true);
}

void LineControl::KeepAwake(int index)
{
    std::string problem;
    if (m_doc.Backends().keepAwake.Hold(problem) || m_toldNotAwake.exchange(true)) return;
    m_report.AppendLineText(index, "The computer is not kept from sleeping during the upgrade (" + problem +
                                       "): do not let it sleep until the run has ended.", true);
}

void LineControl::FinishLine(int index, std::string_view text, FinishCode code, std::string_view reason)
{
    DownloadLine& line = m_doc.Line(index);
    SettleNvBackup(index);
    const bool partlyWritten = code != FinishCode::Success && line.flashBegun;
    if (partlyWritten) m_report.AppendLineText(index, kPartlyWritten, true);
    const ProtocolMode mode = line.protocol.Mode();
    bool resetByHand = code == FinishCode::MayStayInDownloadMode && mode == ProtocolMode::Dmss;
    if (code != FinishCode::MayStayInDownloadMode) {
        line.state = LineState::NoPhone;
        // A device in download mode that took no reset stays there.
        const bool inDownloadMode = mode == ProtocolMode::Dmss || mode == ProtocolMode::Streaming;
        if (!ResetDevice(line.protocol) && code == FinishCode::DownloadFailure && inDownloadMode) {
            m_report.AppendLineText(index, kNotReset, true);
            code = FinishCode::MayStayInDownloadMode;
            resetByHand = true;
        }
    }
    if (!reason.empty()) m_report.AppendLineText(index, std::string(kReasonLead) + std::string(reason), true);
    m_report.AppendLineText(index, text, true);
    m_report.AppendLineText(index, text, true);
    if (resetByHand) {
        const std::string message = Sentence(kResetByHand, {std::to_string(index + 1)});
        m_doc.Backends().messageBoxes.Show(message, flashing::kBoxTitle, platform::BoxButtons::Ok, platform::BoxIcon::None);
    }
    m_doc.Backends().keepAwake.Release();
    line.running = false;
    m_report.SetLineProgress(index, 0);
    flashing::RemoveWorkingFiles(m_doc.WorkingFolder(), flashing::Cleanup::EndOfRun, line.Clock(), m_threads.Replug());
    if (m_onFinish) m_onFinish(index, {code, partlyWritten});
}
