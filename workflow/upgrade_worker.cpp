#include "workflow/upgrade_worker.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "diag/diag_commands.h"
#include "diag/nv_items.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "flashing/box_title.h"
#include "flashing/check_block.h"
#include "flashing/flash_sequence.h"
#include "flashing/high_speed_download.h"
#include "flashing/image_procedures.h"
#include "flashing/programmer_loading.h"
#include "flashing/retry.h"
#include "link/md5.h"
#include "payload/manifest.h"
#include "platform/backends.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "workflow/line_start.h"
#include "workflow/nv_backup.h"
#include "workflow/line_control.h"
#include "workflow/port_discovery.h"
#include "workflow/time_left.h"
#include "workflow/upgrade_progress.h"

namespace {

using flashing::LastPause;
using flashing::Retry;
using flashing::RetryBetween;

constexpr int kBaud = 115200;
constexpr std::uint16_t kModelItem = 22;
constexpr const char* kReplugPrompt =
    "Please pull out the stick, insert it again and then press the 'OK' button.The upgrade process will go on.";
constexpr const char* kDownloadFailure = "Download failure, Please download again!";
constexpr const char* kBackupFailure = "Backup NV fail, Please download again!";
constexpr const char* kAnotherDevice =
    "The modem that came back is not the one that was upgraded: its NV items were not written to it. Keep the NV "
    "backup named in the log for the upgraded modem.";
constexpr std::uint32_t kUnknownEsn = 0xFFFFFFFF;

void Wait(const DownloadLine& line, std::uint32_t ms) { line.Clock().SleepMs(ms); }

void ReplugPrompt(const DownloadLine& line)
{
    line.Backends().messageBoxes.Show(kReplugPrompt, "warning", platform::BoxButtons::Ok, platform::BoxIcon::Stop);
}

// Tries `action` where its failure does not stop the run: the device may
// already be as asked, and the steps that matter check it.
template <class Action>
void BestEffort(platform::IClock& clock, int times, std::uint32_t pauseMs, Action&& action)
{
    static_cast<void>(Retry(clock, times, pauseMs, LastPause::Keep, std::forward<Action>(action)));
}

// Searches for the device's ports once a second until they are found: the
// re-plug prompt after `promptAfter` failed searches (0 for none), and false
// after `limit`. `pauseWhenFound` keeps the second also after the search
// that found them.
bool SearchPorts(platform::IPortFinder& finder, DownloadLine& line, int limit, int promptAfter, bool pauseWhenFound)
{
    for (int count = 0;;) {
        const bool found = FindPorts(finder, line);
        if (found && !pauseWhenFound) return true;
        Wait(line, 1000);
        if (found) return true;
        if (++count == promptAfter) ReplugPrompt(line);
        if (count == limit) return false;
    }
}

// Reopens both ports until the device answers, up to `cycles` times.
[[nodiscard]] bool AwaitAnswer(DownloadLine& line, int cycles)
{
    for (int cycle = 0; cycle < cycles; ++cycle) {
        Wait(line, 1000);
        BestEffort(line.Clock(), 3, 2000, [&] { return OpenModemPort(line, line.modemPort, kBaud); });
        if (OpenDiagPort(line, line.diagPort, kBaud) && CheckPhoneInfo(line)) return true;
    }
    return false;
}

std::string NotFoundIn(int searches, const char* when)
{
    return "the device's ports were not found in " + std::to_string(searches) + " searches " + when;
}

// The line's reporter, with the run journal brought up to date at every
// phase the run reaches once the journal has begun.
class JournalingReporter final : public ILineReporter {
public:
    JournalingReporter(ILineReporter& inner, std::string folder) : m_inner(inner), m_folder(std::move(folder)) {}

    void SetLineProgress(int line, int percent) override { m_inner.SetLineProgress(line, percent); }
    void AppendLineText(int line, std::string_view text, bool stamped) override
    {
        m_inner.AppendLineText(line, text, stamped);
    }
    void ShowTransfer(int line, const std::string& image, std::uint64_t done, std::uint64_t total) override
    {
        m_inner.ShowTransfer(line, image, done, total);
    }
    // A journal that cannot be brought up to date still names the device
    // and its backup; the run goes on, and the run log says so once.
    void Reached(int line, RunPhase phase) override
    {
        if (!m_journal || m_journal->phase == phase) return;
        // Once the file system has been rewritten the journal says so until
        // the end: a run taken up again must never take the device's
        // factory values for its own.
        if (m_journal->phase >= RunPhase::FileSystem && phase < RunPhase::FileSystem) return;
        m_journal->phase = phase;
        if (StepResult saved = workflow::SaveJournal(m_folder, *m_journal); !saved && !m_toldStale) {
            m_toldStale = true;
            m_inner.AppendLineText(line, saved.Reason() + ": it still says where the run began.", true);
        }
    }
    // Writes the journal's first state.
    StepResult Begin(const workflow::RunJournal& journal)
    {
        if (StepResult saved = workflow::SaveJournal(m_folder, journal); !saved) return saved;
        m_journal = journal;
        return {};
    }
    // Takes up a journal already on disk.
    void Resume(const workflow::RunJournal& journal) { m_journal = journal; }
    const std::string& Folder() const { return m_folder; }

private:
    ILineReporter& m_inner;
    const std::string m_folder;
    std::optional<workflow::RunJournal> m_journal;
    bool m_toldStale = false;
};

// The images a run sends, with the blocks each goes in.
std::vector<workflow::TimeLeft::Image> SentImages(const LineRecord& record)
{
    std::vector<workflow::TimeLeft::Image> images;
    const std::pair<std::string, std::uint32_t> sent[] = {
        {record.ramProgrammerPath.Get(), flashing::kRamBlockSize}, {record.qcsblPath.Get(), flashing::kStreamBlockSize},
        {record.oemsblPath.Get(), flashing::kStreamBlockSize},     {record.amssPath.Get(), flashing::kChecksumBlockSize},
        {record.nandImagePath.Get(), flashing::kStreamBlockSize},  {record.efsPath.Get(), flashing::kChecksumBlockSize}};
    for (const auto& [path, blockBytes] : sent) {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(path, error);
        if (!error) images.push_back({std::filesystem::path(path).filename().string(), size, blockBytes});
    }
    return images;
}

class Worker {
public:
    Worker(LineControl& control, const FoundDevice& found)
        : m_control(control), m_found(found), m_index(found.line), m_line(control.Document().Line(found.line)),
          m_timeLeft(control.Report(), m_line.Clock(), SentImages(m_line.record)),
          m_journal(m_timeLeft, m_line.record.nvFolder.Get()), m_ctx{m_index, m_line, m_journal},
          m_protocol(m_line.protocol)
    {
    }

    void Run();

private:
    void Downloading() { m_ctx.Log(flashing::kDownloading); }
    void Progress(int percent) { m_ctx.Progress(percent); }
    bool ReopenDiag() { return OpenDiagPort(m_line, m_line.diagPort, kBaud); }
    bool ReopenModem() { return OpenModemPort(m_line, m_line.modemPort, kBaud); }
    void Abort(std::string_view lineText, const char* box, FinishCode code, const std::string& reason)
    {
        m_control.FinishLine(m_index, lineText, code, reason);
        m_line.Backends().messageBoxes.Show(box, "Error", platform::BoxButtons::Ok, platform::BoxIcon::Stop);
        m_control.Form().RequestClose();
    }
    // An AT command the device may refuse without harm.
    void AtCommand(const char* command, std::uint32_t pauseMs)
    {
        BestEffort(m_line.Clock(), 3, 0, [&] {
            if (SendAtCommand(m_line, command)) return true;
            static_cast<void>(ReopenModem());  // the next command finds out
            Wait(m_line, pauseMs);
            return false;
        });
    }
    // The steps after it find out when the device never answers.
    void WaitForAnswer(int cycles) { static_cast<void>(AwaitAnswer(m_line, cycles)); }
    bool PrepareDevice();
    void RestoreNormalSettings(bool showProgress);
    void StopBeforeTheSwitch(const std::string& reason);
    bool BackUp(std::array<std::uint8_t, 128>& modelItem, bool& modelItemRead);
    bool BeginJournal();
    bool SameDeviceAsBackedUp();
    bool WriteImages();
    bool LoadAndWrite();
    bool ReturnToNormalMode(const std::array<std::uint8_t, 128>& modelItem, bool modelItemRead);
    bool RestoreAndReturn(const std::array<std::uint8_t, 128>& modelItem, bool modelItemRead);
    std::optional<DeviceMode> ResetProgrammer();
    void Rescue(std::uint32_t start);
    void Succeed(std::uint32_t start);

    LineControl& m_control;
    const FoundDevice m_found;
    int m_index;
    DownloadLine& m_line;
    workflow::TimeLeftReporter m_timeLeft;
    JournalingReporter m_journal;
    LineContext m_ctx;
    CPhoneProtocol& m_protocol;
};

// Phase A: the device in normal mode is prepared and restarted.
bool Worker::PrepareDevice()
{
    BestEffort(m_line.Clock(), 3, 3000, [&] { return diag::SetOffline(m_protocol); });
    Wait(m_line, 1000);
    Progress(progress::kOffline);
    Downloading();
    BestEffort(m_line.Clock(), 3, 1000, [&] { return diag::SetVendorFlag(m_protocol, 1); });
    Wait(m_line, 1000);
    Progress(progress::kVendorFlagSet);
    Downloading();
    BestEffort(m_line.Clock(), 3, 1000, [&] { return diag::SetAutorun(m_protocol, 0); });
    Wait(m_line, 1000);
    Downloading();
    AtCommand("AT+KCDRUN=E", 2000);
    Wait(m_line, 1000);
    Downloading();
    AtCommand("AT+KCDRUN=8", 2000);
    Downloading();
    Progress(progress::kAutorunCleared);
    Wait(m_line, 1000);
    BestEffort(m_line.Clock(), 3, 3000, [&] {
        if (StepResult offline = diag::SetOffline(m_protocol); !offline) return offline;
        Wait(m_line, 3000);
        return diag::ResetPhone(m_protocol);
    });
    Downloading();
    Progress(progress::kRestarting);
    Wait(m_line, 10000);

    // Phase B begins: the device comes back, perhaps under new numbers.
    if (!SearchPorts(m_control.Document().Backends().portFinder, m_line, 60, 30, true)) {
        Abort("Can not find port, Please download again!", "Can not find port, Please download again!",
              FinishCode::DownloadFailure, NotFoundIn(60, "after its restart"));
        return false;
    }
    Progress(progress::kPortsFoundAgain);
    WaitForAnswer(20);
    Progress(progress::kAnswering);
    m_control.Form().RefreshPortField(m_index);
    return true;
}

// Undoes what PrepareDevice set for the switch, so that the device starts
// its normal software as before.
void Worker::RestoreNormalSettings(bool showProgress)
{
    if (showProgress) Progress(progress::kAnsweringAgain);
    BestEffort(m_line.Clock(), 3, 2000, [&] { return diag::SetVendorFlag(m_protocol, 0); });
    Wait(m_line, 500);
    if (showProgress) Progress(progress::kVendorFlagCleared);
    BestEffort(m_line.Clock(), 3, 2000, [&] { return diag::SetAutorun(m_protocol, 1); });
    Wait(m_line, 500);
    AtCommand("AT+KCDRUN=F", 5000);
    Wait(m_line, 2000);
    AtCommand("AT+KCDRUN=9", 5000);
}

// Nothing has been written to the device yet: it goes back to its normal
// software, and the end's reset restarts it there.
void Worker::StopBeforeTheSwitch(const std::string& reason)
{
    RestoreNormalSettings(false);
    Abort(kBackupFailure, kBackupFailure, FinishCode::DownloadFailure, reason);
}

bool Worker::BackUp(std::array<std::uint8_t, 128>& modelItem, bool& modelItemRead)
{
    m_control.Report().ReplaceLineText(m_index, "Current Version : " + m_found.status + "\n" +
                                                    "Download Version : " + m_line.record.imageFolder.Get() + "\n" +
                                                    "Armprg path : " + m_line.record.ramProgrammerPath.Get() + "\n\n");
    std::uint16_t status = 0;
    modelItemRead = static_cast<bool>(Retry(m_line.Clock(), 3, 200, LastPause::Keep,
                                            [&] { return diag::NvRead(m_protocol, kModelItem, modelItem, status); }));

    std::array<std::uint8_t, 128> checkBlock{};
    flashing::ReadCheckBlock(m_ctx, checkBlock);
    if (!diag::DownloadCheck(m_protocol, checkBlock, diag::kCheckSubsystem)) {
        Wait(m_line, 100);
        // The device's verdict does not change the sequence.
        static_cast<void>(diag::DownloadCheck(m_protocol, checkBlock, diag::kCheckSubsystem));
    }

    // The ESN names the backup should it have to be kept, and tells the
    // device that comes back after the flash from any other.
    std::uint32_t esn = kUnknownEsn;
    if (!Retry(m_line.Clock(), 3, 200, LastPause::Skip, [&] { return diag::GetEsn(m_protocol, esn); })) {
        StopBeforeTheSwitch("the device's ESN could not be read: " + m_protocol.LastError());
        return false;
    }
    m_line.esn = esn;

    Progress(progress::kBackupFirst);
    // A backup with items the device never answered would let the flash
    // wipe them for good: the run stops while the device is unharmed.
    if (StepResult backup = workflow::NvBackup(m_ctx, m_line.record.nvBackupPath.Get()); !backup) {
        StopBeforeTheSwitch(backup.Reason());
        return false;
    }
    if (!BeginJournal()) return false;

    Progress(progress::kBackedUp);
    std::array<std::uint8_t, 8> challenge{};
    if (Retry(m_line.Clock(), 3, 500, LastPause::Keep, [&] { return diag::GetChallengeValue(m_protocol, challenge); })) {
        const md5::Digest answer = md5::Compute(challenge.data(), challenge.size());
        // An answer the device refuses does not stop the upgrade.
        static_cast<void>(diag::SendChallengeAnswer(m_protocol, answer));
    }
    Downloading();
    return true;
}

// Before anything is written to the device, its backup is kept under a name
// of its own and the run journal says whose it is: a run cut short from
// here on is taken up by the next start, with this backup.
bool Worker::BeginJournal()
{
    const std::string kept = workflow::SetNvBackupAside(m_line.record.nvBackupPath.Get(), workflow::EsnText(m_line.esn), m_line.Clock().Now());
    if (kept.empty()) {
        StopBeforeTheSwitch("the NV backup " + m_line.record.nvBackupPath.Get() + " could not be kept under a name of its own");
        return false;
    }
    m_line.runBackup = kept;
    const workflow::RunJournal journal{m_line.esn, std::filesystem::path(kept).filename().string(), m_line.diagPort,
                                       m_line.modemPort, RunPhase::BackedUp};
    if (StepResult begun = m_journal.Begin(journal); !begun) {
        StopBeforeTheSwitch(begun.Reason());
        return false;
    }
    m_line.journaled = true;
    return true;
}

// Phases C and D: download mode, the programmer and every image.
bool Worker::WriteImages()
{
    if (StepResult switched = SwitchToDownloadMode(m_control, m_index); !switched) {
        ReplugPrompt(m_line);
        if (!SearchPorts(m_control.Document().Backends().portFinder, m_line, 40, 0, true)) {
            Abort("Search port failure, please download again!", "Search port failure, please download again!",
                  FinishCode::MayStayInDownloadMode,
                  NotFoundIn(40, "after the switch to download mode failed (") + switched.Reason() + ")");
            return false;
        }
        // The diagnostic port decides.
        static_cast<void>(Retry(m_line.Clock(), 3, 2000, LastPause::Keep, [&] { return ReopenModem(); }));
        if (ReopenDiag() && CheckPhoneInfo(m_line)) m_control.Form().RefreshPortField(m_index);
        if (StepResult again = SwitchToDownloadMode(m_control, m_index); !again) {
            m_control.FinishLine(m_index, "Switch to download failure, please download again!",
                                 FinishCode::MayStayInDownloadMode, again.Reason());
            m_line.Backends().messageBoxes.Show(kDownloadFailure, "Error", platform::BoxButtons::Ok, platform::BoxIcon::Stop);
            m_control.Form().RequestClose();
            m_control.Document().Backends().process.Exit(0);
            return false;
        }
    }
    m_control.Form().RefreshPortField(m_index);
    m_ctx.Reached(RunPhase::Downloader);
    return LoadAndWrite();
}

// From the boot downloader on: the programmer and every image.
bool Worker::LoadAndWrite()
{
    Downloading();
    if (StepResult loaded = flashing::LoadRamProgrammer(m_ctx); !loaded) {
        Abort("Download " + std::string(payload::kRamProgrammer.fileName) + " fail!", kDownloadFailure,
              FinishCode::DownloadFailure, loaded.Reason());
        return false;
    }
    Progress(progress::kProgrammerLoaded);
    Wait(m_line, 2000);
    Downloading();
    if (StepResult started = flashing::StartProgrammer(m_ctx); !started) {
        Abort("Go to flash fail!", kDownloadFailure, FinishCode::DownloadFailure, started.Reason());
        return false;
    }
    m_control.Form().RefreshPortField(m_index);
    Progress(progress::kProgrammerStarted);
    m_ctx.Reached(RunPhase::Programmer);

    if (StepResult written = flashing::WriteAllImages(m_ctx); !written) {
        Abort("Download fail, please check the log file to get fail information!", kDownloadFailure,
              FinishCode::DownloadFailure, written.Reason());
        return false;
    }
    return true;
}

// Phase E: the device restarts with its new software, gets its NV items back
// and returns to normal mode.
bool Worker::ReturnToNormalMode(const std::array<std::uint8_t, 128>& modelItem, bool modelItemRead)
{
    Wait(m_line, 3000);
    Progress(progress::kWaitingForReturn);
    if (StepResult returned = WaitForDeviceReturn(m_control, m_index); !returned) {
        Abort("reset modem fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode, returned.Reason());
        return false;
    }
    return RestoreAndReturn(modelItem, modelItemRead);
}

// The device is back in normal mode: if it is the one backed up, its NV
// items go back and it returns to its normal settings.
bool Worker::RestoreAndReturn(const std::array<std::uint8_t, 128>& modelItem, bool modelItemRead)
{
    if (!SameDeviceAsBackedUp()) return false;
    m_control.Form().RefreshPortField(m_index);
    m_control.Form().RefreshDeviceText(m_index);
    // Bytes 22 to 49 of item 22 go back cleared; an item that could not be
    // read is not written back with made-up contents.
    if (modelItemRead) {
        std::array<std::uint8_t, 128> cleared = modelItem;
        std::fill(cleared.begin() + 22, cleared.begin() + 50, 0);
        std::uint16_t status = 0;
        BestEffort(m_line.Clock(), 3, 200, [&] { return diag::NvWrite(m_protocol, kModelItem, cleared, status); });
    }
    Progress(progress::kRestoreFirst);
    m_ctx.Reached(RunPhase::Restoring);
    if (StepResult restored = workflow::NvRestore(m_ctx, m_line.runBackup); !restored) {
        Abort("Restore NV fail!", "Restore NV fail!", FinishCode::MayStayInDownloadMode, restored.Reason());
        return false;
    }
    m_line.nvRestored = true;

    Progress(progress::kRestored);
    // The device has just been seen; bound the search all the same, paced
    // like the other searches.
    if (!SearchPorts(m_control.Document().Backends().portFinder, m_line, 80, 40, false)) {
        Abort("reset modem fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode,
              NotFoundIn(80, "after the NV items were written back"));
        return false;
    }
    WaitForAnswer(60);
    Wait(m_line, 1000);
    RestoreNormalSettings(true);
    Wait(m_line, 1000);
    Progress(progress::kNormalMode);
    BestEffort(m_line.Clock(), 3, 3000, [&] { return diag::SetOffline(m_protocol); });
    Wait(m_line, 500);
    BestEffort(m_line.Clock(), 3, 3000, [&] {
        // Only the reset decides; the device may already be offline.
        static_cast<void>(diag::SetOffline(m_protocol));
        return diag::ResetPhone(m_protocol);
    });
    Progress(progress::kResetting);
    Wait(m_line, 3000);
    return true;
}

// The NV backup belongs to the device it was read from: another device that
// came back on the same ports gets none of it.
bool Worker::SameDeviceAsBackedUp()
{
    std::uint32_t esn = kUnknownEsn;
    if (!Retry(m_line.Clock(), 3, 1000, LastPause::Skip, [&] { return diag::GetEsn(m_protocol, esn); })) {
        Abort("reset modem fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode,
              "the ESN of the device that came back could not be read: " + m_protocol.LastError());
        return false;
    }
    if (esn == m_line.esn) return true;
    char text[112];
    std::snprintf(text, sizeof text, "the device that came back has the ESN %08X, the NV backup was read from ESN %08X",
                  esn, m_line.esn.load());
    Abort(kAnotherDevice, kAnotherDevice, FinishCode::MayStayInDownloadMode, text);
    return false;
}

// A programmer left running is reset; the device comes back in its boot
// downloader while its flash is incomplete, else in normal mode. Which one,
// or nothing after a failure that ended the run.
std::optional<DeviceMode> Worker::ResetProgrammer()
{
    Downloading();
    if (!Retry(m_line.Clock(), 3, 3000, LastPause::Skip, [&] { return download::StreamReset(m_protocol); })) {
        m_ctx.Log("The flash programmer did not take its reset (" + m_protocol.LastError() +
                  "): the stick must be pulled out and inserted again.");
        ReplugPrompt(m_line);
    }
    Wait(m_line, 3000);
    if (!SearchPorts(m_control.Document().Backends().portFinder, m_line, 80, 40, false)) {
        Abort("reset modem fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode,
              NotFoundIn(80, "after the flash programmer's reset"));
        return std::nullopt;
    }
    for (int cycle = 0; cycle < 20; ++cycle) {
        Wait(m_line, 1000);
        if (!ReopenDiag()) continue;
        if (CheckPhoneInfo(m_line)) {
            static_cast<void>(ReopenModem());  // its AT commands only help
            return DeviceMode::Normal;
        }
        if (download::DmssAnswers(m_protocol, 1000)) return DeviceMode::BootDownloader;
    }
    Abort("reset modem fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode,
          "after the flash programmer's reset the device answered neither in its normal software nor in its boot "
          "downloader in 20 tries");
    return std::nullopt;
}

// The rest of a run that an earlier one left behind: no new backup is taken,
// since the device may hold factory values by now; the journal's backup is
// the one restored.
void Worker::Rescue(std::uint32_t start)
{
    const workflow::RunJournal& journal = m_found.journal;
    m_journal.Resume(journal);
    m_line.esn = journal.esn;
    m_line.runBackup = (std::filesystem::path(m_journal.Folder()) / journal.backup).string();
    m_line.journaled = true;
    m_ctx.Log("Taking up the run of the modem with ESN " + workflow::EsnText(journal.esn) + ", cut short at \"" +
              workflow::PhaseName(journal.phase) + "\": its NV backup is " + m_line.runBackup);
    RunKind kind = m_found.kind;
    if (kind == RunKind::FromFlashProgrammer) {
        const std::optional<DeviceMode> mode = ResetProgrammer();
        if (!mode) return;
        if (*mode == DeviceMode::Normal && journal.phase < RunPhase::FileSystem) {
            // Its file system was never rewritten: the device holds its own
            // NV items, and a new upgrade backs them up afresh.
            static_cast<void>(workflow::RemoveJournal(m_journal.Folder(), journal.esn));
            m_line.journaled = false;
            Abort("The modem is back in its normal software with its own NV items: press UPDATE to upgrade it.",
                  kDownloadFailure, FinishCode::DownloadFailure,
                  "the flash programmer's reset brought the device back in its normal software before its file "
                  "system was rewritten");
            return;
        }
        kind = *mode == DeviceMode::Normal ? RunKind::RestoreOnly : RunKind::FromBootDownloader;
    }
    const std::array<std::uint8_t, 128> noModelItem{};
    if (kind == RunKind::FromBootDownloader) {
        m_ctx.Reached(RunPhase::Downloader);
        if (!LoadAndWrite() || !ReturnToNormalMode(noModelItem, false)) return;
    } else if (!RestoreAndReturn(noModelItem, false)) {
        return;
    }
    Succeed(start);
}

void Worker::Run()
{
    const std::uint32_t start = m_line.Clock().TickCount();
    m_control.KeepAwake(m_index);
    Progress(progress::kStart);
    Downloading();
    if (m_found.kind != RunKind::Upgrade) {
        Rescue(start);
        return;
    }
    if (!PrepareDevice()) return;
    std::array<std::uint8_t, 128> modelItem{};
    bool modelItemRead = false;
    if (!BackUp(modelItem, modelItemRead)) return;
    if (!WriteImages()) return;
    if (!ReturnToNormalMode(modelItem, modelItemRead)) return;
    Succeed(start);
}

void Worker::Succeed(std::uint32_t start)
{
    const std::string text = SuccessText((m_line.Clock().TickCount() - start) / 1000);
    Progress(progress::kDone);
    m_control.FinishLine(m_index, text, FinishCode::Success);
    m_line.Backends().messageBoxes.Show(text, "Congratulations", platform::BoxButtons::Ok, platform::BoxIcon::Information);
    m_control.Form().RequestClose();
}

}  // namespace

std::string SuccessText(std::uint32_t seconds)
{
    char text[96];
    std::snprintf(text, sizeof text, "Update success!  It costs %u minute(s) and %u second(s).", seconds / 60, seconds % 60);
    return text;
}

int UpgradeWorker(LineControl& control, const FoundDevice& found)
{
    Worker(control, found).Run();
    return 0;
}

StepResult SwitchToDownloadMode(LineControl& control, int index)
{
    DownloadLine& line = control.Document().Line(index);
    CPhoneProtocol& protocol = line.protocol;
    const auto reopenDiag = [&] { static_cast<void>(OpenDiagPort(line, line.diagPort, kBaud)); };  // the next request tells
    const auto failed = [&](const char* request) {
        return StepResult::Failed(std::string(request) + " was not answered: " + protocol.LastError());
    };

    if (!RetryBetween([&] { return diag::Request5C(protocol); },
                      {[&] { Wait(line, 300); }, [&] { Wait(line, 3000); }, [&] { Wait(line, 5000); }})) {
        return failed("the download request (5C)");
    }
    Wait(line, 500);
    if (!RetryBetween([&] { return diag::SendSpc(protocol); }, {[&] { Wait(line, 300); }})) {
        return failed("the service programming code");
    }
    Wait(line, 50);
    if (!RetryBetween([&] { return diag::SetOffline(protocol); },
                      {[&] { Wait(line, 300); }, [&] { Wait(line, 5000); }, [&] {
                           reopenDiag();
                           Wait(line, 8000);
                       }})) {
        line.Backends().messageBoxes.Show("Enter offline", flashing::kBoxTitle, platform::BoxButtons::Ok, platform::BoxIcon::None);
    }
    Wait(line, 50);
    for (int pauses = 0; !diag::PollSubsystemState(protocol);) {
        Wait(line, 500);
        if (++pauses == 100) {
            // The poll after the last pause decides nothing.
            static_cast<void>(diag::PollSubsystemState(protocol));
            return StepResult::Failed("the device's subsystems did not settle in 100 polls");
        }
    }
    Wait(line, 50);
    // The boot downloader's answer below decides whether the switch worked.
    static_cast<void>(RetryBetween([&] { return diag::SwitchToDownloader(protocol); },
                                   {[&] { Wait(line, 3000); }, [&] { Wait(line, 5000); }, [&] {
                                        reopenDiag();
                                        Wait(line, 8000);
                                    }}));
    Wait(line, 5000);
    if (!RetryBetween([&] { return download::DmssNop(protocol); },
                      {[&] { Wait(line, 2000); }, [&] { Wait(line, 3000); }, [&] {
                           Wait(line, 5000);
                           reopenDiag();
                       },
                       [&] { Wait(line, 8000); }, [&] {
                           reopenDiag();
                           Wait(line, 10000);
                       }})) {
        return failed("the boot downloader's no-op");
    }
    download::FlashInfo info{};
    const StepResult ok = RetryBetween([&] { return download::DmssGetParams(protocol, info); },
                                 {[&] { Wait(line, 5000); }, [&] { Wait(line, 3000); }, [&] { Wait(line, 5000); }, [&] {
                                      reopenDiag();
                                      Wait(line, 8000);
                                  }});
    return ok ? StepResult{} : failed("the boot downloader's parameter request");
}

StepResult WaitForDeviceReturn(LineControl& control, int index)
{
    DownloadLine& line = control.Document().Line(index);
    // Every image is written: a programmer that does not take its reset
    // leaves the device to the user, whose re-plug starts the new software.
    const StepResult reset =
        Retry(line.Clock(), 3, 3000, LastPause::Skip, [&] { return download::StreamReset(line.protocol); });
    if (!reset) {
        control.Context(index).Log("The flash programmer did not take its reset (" + line.protocol.LastError() +
                                   "): the stick must be pulled out and inserted again.");
        ReplugPrompt(line);
    }
    Wait(line, 3000);
    if (!SearchPorts(control.Document().Backends().portFinder, line, 80, 40, false)) {
        return StepResult::Failed(NotFoundIn(80, reset ? "after the reset into the new software"
                                                       : "after the flash programmer took no reset"));
    }
    if (!AwaitAnswer(line, 60)) {
        return StepResult::Failed(reset ? "the device came back but did not answer in 60 tries"
                                        : "the flash programmer took no reset and the device did not answer in its "
                                          "normal software in 60 tries: it may still be in the flash programmer");
    }
    return {};
}
