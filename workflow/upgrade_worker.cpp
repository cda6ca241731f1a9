#include "workflow/upgrade_worker.h"

#include <array>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>

#include "diag/diag_commands.h"
#include "diag/nv_items.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "flashing/high_speed_download.h"
#include "flashing/image_procedures.h"
#include "flashing/image_set.h"
#include "flashing/programmer_loading.h"
#include "link/md5.h"
#include "platform/backends.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "workflow/line_start.h"
#include "workflow/nv_backup.h"
#include "workflow/line_control.h"
#include "workflow/port_discovery.h"

namespace {

constexpr int kBaud = 115200;
constexpr std::uint16_t kModelItem = 22;
constexpr std::uint8_t kCheckSubsystem = 0xA3;
constexpr const char* kDownloading = "Downloading...";
constexpr const char* kReplugPrompt =
    "Please pull out the stick, insert it again and then press the 'OK' button.The upgrade process will go on.";
constexpr const char* kDownloadFailure = "Download failure, Please download again!";

void Wait(std::uint32_t ms) { platform::Clock().SleepMs(ms); }

// Tries `action` up to `times` times, pausing `pauseMs` after each failure.
bool TryTimes(int times, std::uint32_t pauseMs, const std::function<bool()>& action)
{
    for (int i = 0; i < times; ++i) {
        if (action()) return true;
        Wait(pauseMs);
    }
    return false;
}

// Tries `action`, and after each failure runs the next of `between` and
// tries again; the result of the last attempt made.
bool TryWithPauses(const std::function<bool()>& action, std::initializer_list<std::function<void()>> between)
{
    if (action()) return true;
    for (const auto& pause : between) {
        pause();
        if (action()) return true;
    }
    return false;
}

class Worker {
public:
    Worker(LineControl& control, int line)
        : m_control(control), m_index(line), m_line(control.Document().Line(line)),
          m_ctx(control.Context(line)), m_protocol(m_line.protocol)
    {
    }

    void Run();

private:
    void Downloading() { m_ctx.Log(kDownloading); }
    void Progress(int percent) { m_ctx.Progress(percent); }
    bool ReopenDiag() { return OpenDiagPort(m_line, m_line.diagPort, kBaud); }
    bool ReopenModem() { return OpenModemPort(m_line, m_line.modemPort, kBaud); }
    void ReplugPrompt()
    {
        platform::MessageBoxes().Show(kReplugPrompt, "warning", platform::BoxButtons::Ok, platform::BoxIcon::Stop);
    }
    void Abort(const char* lineText, const char* box, FinishCode code)
    {
        m_control.FinishLine(m_index, lineText, code);
        platform::MessageBoxes().Show(box, "Error", platform::BoxButtons::Ok, platform::BoxIcon::Stop);
        m_control.Form().RequestClose();
    }
    bool AtCommand(const char* command, std::uint32_t pauseMs)
    {
        return TryTimes(3, 0, [&] {
            if (SendAtCommand(m_line, command)) return true;
            ReopenModem();
            Wait(pauseMs);
            return false;
        });
    }
    // Reopens both ports until the device answers, up to `cycles` times.
    bool WaitForAnswer(int cycles);
    bool PrepareDevice();
    bool BackUp(std::array<std::uint8_t, 128>& modelItem, bool& modelItemRead);
    bool WriteImages();
    bool FlashAttempt(int attempt);
    bool ReturnToNormalMode(const std::array<std::uint8_t, 128>& modelItem, bool modelItemRead);

    LineControl& m_control;
    int m_index;
    DownloadLine& m_line;
    LineContext m_ctx;
    CPhoneProtocol& m_protocol;
};

bool Worker::WaitForAnswer(int cycles)
{
    for (int cycle = 0; cycle < cycles; ++cycle) {
        Wait(1000);
        TryTimes(3, 2000, [&] { return ReopenModem(); });
        if (ReopenDiag() && CheckPhoneInfo(m_line)) return true;
    }
    return false;
}

// Phase A: the device in normal mode is prepared and restarted.
bool Worker::PrepareDevice()
{
    TryTimes(3, 3000, [&] { return diag::SetOffline(m_protocol); });
    Wait(1000);
    Progress(1);
    Downloading();
    TryTimes(3, 1000, [&] { return diag::SetVendorFlag(m_protocol, 1); });
    Wait(1000);
    Progress(2);
    Downloading();
    TryTimes(3, 1000, [&] { return diag::SetAutorun(m_protocol, 0); });
    Wait(1000);
    Downloading();
    AtCommand("AT+KCDRUN=E", 2000);
    Wait(1000);
    Downloading();
    AtCommand("AT+KCDRUN=8", 2000);
    Downloading();
    Progress(3);
    Wait(1000);
    TryTimes(3, 3000, [&] {
        if (!diag::SetOffline(m_protocol)) return false;
        Wait(3000);
        return diag::ResetPhone(m_protocol);
    });
    Downloading();
    Progress(4);
    Wait(10000);

    // Phase B begins: the device comes back, perhaps under new numbers.
    for (int count = 0;;) {
        const bool found = FindPorts(m_line);
        Wait(1000);
        if (found) break;
        ++count;
        if (count == 30) ReplugPrompt();
        if (count == 60) {
            Abort("Can not find port, Please download again!", "Can not find port, Please download again!",
                  FinishCode::DownloadFailure);
            return false;
        }
    }
    Progress(5);
    WaitForAnswer(20);
    Progress(6);
    m_control.Form().RefreshPortField(m_index);
    return true;
}

bool Worker::BackUp(std::array<std::uint8_t, 128>& modelItem, bool& modelItemRead)
{
    m_control.Report().ReplaceLineText(m_index, "Current Version : " + m_line.StatusText() + "\n" +
                                                    "Download Version : " + m_line.record.imageFolder.Get() + "\n" +
                                                    "Armprg path : " + m_line.record.ramProgrammerPath.Get() + "\n\n");
    std::uint16_t status = 0;
    modelItemRead = TryTimes(3, 200, [&] { return diag::NvRead(m_protocol, kModelItem, modelItem, status); });

    std::array<std::uint8_t, 128> checkBlock{};
    flashing::ReadCheckBlock(m_ctx, checkBlock);
    if (!diag::DownloadCheck(m_protocol, checkBlock, kCheckSubsystem)) {
        Wait(100);
        // The device's verdict does not change the sequence.
        static_cast<void>(diag::DownloadCheck(m_protocol, checkBlock, kCheckSubsystem));
    }

    // The ESN names the backup should it have to be kept after the run.
    std::uint32_t esn = 0xFFFFFFFF;
    if (diag::GetEsn(m_protocol, esn)) m_line.esn = esn;

    Progress(7);
    // A backup with items the device never answered would let the flash
    // wipe them for good: the run stops while the device is unharmed.
    const workflow::NvBackupResult backup = workflow::NvBackup(m_ctx, m_line.record.nvBackupPath.Get());
    if (backup != workflow::NvBackupResult::Saved) {
        Abort("Backup NV fail, Please download again!", "Backup NV fail, Please download again!",
              FinishCode::MayStayInDownloadMode);
        return false;
    }

    Progress(20);
    std::array<std::uint8_t, 8> challenge{};
    if (TryTimes(3, 500, [&] { return diag::GetChallengeValue(m_protocol, challenge); })) {
        const md5::Digest answer = md5::Compute(challenge.data(), challenge.size());
        // An answer the device refuses does not stop the upgrade.
        static_cast<void>(diag::SendChallengeAnswer(m_protocol, answer));
    }
    Downloading();
    return true;
}

bool Worker::FlashAttempt(int attempt)
{
    Downloading();
    if (attempt > 0) {
        Wait(2000);
        // Closes whatever an earlier attempt left open; there may be nothing.
        static_cast<void>(download::CloseImage(m_protocol));
        Wait(2000);
        if (!download::StreamNop(m_protocol)) {
            Wait(500);
            if (!download::StreamNop(m_protocol)) {
                Wait(5000);
                return false;
            }
        }
    }
    Progress(23);
    std::array<std::uint8_t, 1024> probe{0x61};
    if (!download::StreamWrite(m_protocol, 0xFFFFFFFF, probe.data(), static_cast<std::uint32_t>(probe.size()))) {
        Wait(5000);
        return false;
    }
    Wait(2000);
    if (!download::EnterSecurityMode(m_protocol)) return false;
    Progress(24);
    m_line.flashBegun = true;
    if (!flashing::WritePartitionTable(m_ctx)) return false;
    Wait(2000);
    Progress(25);
    if (!flashing::WriteCfgDataImage(m_ctx) || !flashing::WriteQcsblImage(m_ctx) || !flashing::WriteOemsblImage(m_ctx)) {
        return false;
    }
    Progress(26);
    if (!flashing::WriteAmssImage(m_ctx)) return false;
    Wait(5000);
    TryWithPauses([&] { return flashing::WriteNandProgrammerImage(m_ctx); }, {[] { Wait(2000); }, [] { Wait(2000); }});
    if (!TryWithPauses([&] { return flashing::WriteCefsImage(m_ctx); }, {[] { Wait(2000); }})) return false;
    // The flash is whole again: a failure from here on leaves every image
    // written.
    m_line.flashBegun = false;
    Progress(80);
    return true;
}

// Phases C and D: download mode, the programmer and every image.
bool Worker::WriteImages()
{
    if (!SwitchToDownloadMode(m_control, m_index)) {
        ReplugPrompt();
        for (int count = 0;;) {
            const bool found = FindPorts(m_line);
            Wait(1000);
            if (found) break;
            if (++count == 40) {
                Abort("Search port failure, please download again!", "Search port failure, please download again!",
                      FinishCode::MayStayInDownloadMode);
                return false;
            }
        }
        TryTimes(3, 2000, [&] { return ReopenModem(); });
        if (ReopenDiag() && CheckPhoneInfo(m_line)) m_control.Form().RefreshPortField(m_index);
        if (!SwitchToDownloadMode(m_control, m_index)) {
            m_control.FinishLine(m_index, "Switch to download failure, please download again!",
                                 FinishCode::MayStayInDownloadMode);
            platform::MessageBoxes().Show(kDownloadFailure, "Error", platform::BoxButtons::Ok, platform::BoxIcon::Stop);
            m_control.Form().RequestClose();
            platform::Process().Exit(0);
            return false;
        }
    }
    m_control.Form().RefreshPortField(m_index);

    Downloading();
    if (!flashing::LoadRamProgrammer(m_ctx)) {
        Abort("Download armprg.bin fail!", kDownloadFailure, FinishCode::DownloadFailure);
        return false;
    }
    Progress(21);
    Wait(2000);
    Downloading();
    if (!flashing::StartProgrammer(m_ctx)) {
        Abort("Go to flash fail!", kDownloadFailure, FinishCode::DownloadFailure);
        return false;
    }
    m_control.Form().RefreshPortField(m_index);
    Progress(22);

    for (int attempt = 0; attempt < 3; ++attempt) {
        if (FlashAttempt(attempt)) return true;
    }
    Abort("Download fail, please check the log file to get fail information!", kDownloadFailure,
          FinishCode::DownloadFailure);
    return false;
}

// Phase E: the device restarts with its new software, gets its NV items back
// and returns to normal mode.
bool Worker::ReturnToNormalMode(const std::array<std::uint8_t, 128>& modelItem, bool modelItemRead)
{
    Wait(3000);
    Progress(81);
    if (!WaitForDeviceReturn(m_control, m_index)) {
        Abort("reset modem fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode);
        return false;
    }
    m_control.Form().RefreshPortField(m_index);
    m_control.Form().RefreshDeviceText(m_index);
    // Bytes 22 to 49 of item 22 go back cleared; an item that could not be
    // read is not written back with made-up contents.
    if (modelItemRead) {
        std::array<std::uint8_t, 128> cleared = modelItem;
        std::fill(cleared.begin() + 22, cleared.begin() + 50, 0);
        std::uint16_t status = 0;
        TryTimes(3, 200, [&] { return diag::NvWrite(m_protocol, kModelItem, cleared, status); });
    }
    Progress(82);
    if (!workflow::NvRestore(m_ctx, m_line.record.nvBackupPath.Get())) {
        Abort("Restore NV fail!", "Restore NV fail!", FinishCode::MayStayInDownloadMode);
        return false;
    }
    m_line.nvRestored = true;

    Progress(95);
    // The device has just been seen; bound the search all the same, paced
    // like the other searches.
    for (int count = 0; !FindPorts(m_line);) {
        Wait(1000);
        ++count;
        if (count == 40) ReplugPrompt();
        if (count == 80) {
            Abort("reset modem fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode);
            return false;
        }
    }
    WaitForAnswer(60);
    Wait(1000);
    Progress(96);
    TryTimes(3, 2000, [&] { return diag::SetVendorFlag(m_protocol, 0); });
    Wait(500);
    Progress(97);
    TryTimes(3, 2000, [&] { return diag::SetAutorun(m_protocol, 1); });
    Wait(500);
    AtCommand("AT+KCDRUN=F", 5000);
    Wait(2000);
    AtCommand("AT+KCDRUN=9", 5000);
    Wait(1000);
    Progress(98);
    TryTimes(3, 3000, [&] { return diag::SetOffline(m_protocol); });
    Wait(500);
    TryTimes(3, 3000, [&] {
        // Only the reset decides; the device may already be offline.
        static_cast<void>(diag::SetOffline(m_protocol));
        return diag::ResetPhone(m_protocol);
    });
    Progress(99);
    Wait(3000);
    return true;
}

void Worker::Run()
{
    const std::uint32_t start = platform::Clock().TickCount();
    m_control.KeepAwake(m_index);
    Progress(0);
    Downloading();
    if (!PrepareDevice()) return;
    std::array<std::uint8_t, 128> modelItem{};
    bool modelItemRead = false;
    if (!BackUp(modelItem, modelItemRead)) return;
    if (!WriteImages()) return;
    if (!ReturnToNormalMode(modelItem, modelItemRead)) return;

    const std::string text = SuccessText((platform::Clock().TickCount() - start) / 1000);
    Progress(100);
    m_control.FinishLine(m_index, text, FinishCode::Success);
    platform::MessageBoxes().Show(text, "Congratulations", platform::BoxButtons::Ok, platform::BoxIcon::Information);
    m_control.Form().RequestClose();
}

}  // namespace

std::string SuccessText(std::uint32_t seconds)
{
    char text[96];
    std::snprintf(text, sizeof text, "Update success!  It costs %u minute(s) and %u second(s).", seconds / 60, seconds % 60);
    return text;
}

int UpgradeWorker(LineControl& control)
{
    Worker(control, control.Document().currentLine).Run();
    return 0;
}

bool SwitchToDownloadMode(LineControl& control, int index)
{
    DownloadLine& line = control.Document().Line(index);
    CPhoneProtocol& protocol = line.protocol;
    const auto reopenDiag = [&] { OpenDiagPort(line, line.diagPort, kBaud); };

    if (!TryWithPauses([&] { return diag::Request5C(protocol); },
                       {[] { Wait(300); }, [] { Wait(3000); }, [] { Wait(5000); }})) {
        return false;
    }
    Wait(500);
    if (!TryWithPauses([&] { return diag::SendSpc(protocol); }, {[] { Wait(300); }})) return false;
    Wait(50);
    if (!TryWithPauses([&] { return diag::SetOffline(protocol); },
                       {[] { Wait(300); }, [] { Wait(5000); }, [&] {
                            reopenDiag();
                            Wait(8000);
                        }})) {
        platform::MessageBoxes().Show("Enter offline", flashing::kBoxTitle, platform::BoxButtons::Ok, platform::BoxIcon::None);
    }
    Wait(50);
    for (int pauses = 0; !diag::PollSubsystemState(protocol);) {
        Wait(500);
        // The poll after the last pause decides nothing.
        if (++pauses == 100) {
            static_cast<void>(diag::PollSubsystemState(protocol));
            return false;
        }
    }
    Wait(50);
    TryWithPauses([&] { return diag::SwitchToDownloader(protocol); }, {[] { Wait(3000); }, [] { Wait(5000); }, [&] {
                      reopenDiag();
                      Wait(8000);
                  }});
    Wait(5000);
    if (!TryWithPauses([&] { return download::DmssNop(protocol); },
                       {[] { Wait(2000); }, [] { Wait(3000); }, [&] {
                            Wait(5000);
                            reopenDiag();
                        },
                        [] { Wait(8000); }, [&] {
                            reopenDiag();
                            Wait(10000);
                        }})) {
        return false;
    }
    download::FlashInfo info{};
    const bool ok = TryWithPauses([&] { return download::DmssGetParams(protocol, info); },
                                  {[] { Wait(5000); }, [] { Wait(3000); }, [] { Wait(5000); }, [&] {
                                       reopenDiag();
                                       Wait(8000);
                                   }});
    std::copy(info.begin(), info.begin() + static_cast<std::ptrdiff_t>(line.flashInfo.size()), line.flashInfo.begin());
    return ok;
}

bool WaitForDeviceReturn(LineControl& control, int index)
{
    DownloadLine& line = control.Document().Line(index);
    // The device restarts either way; its return is what is waited for.
    static_cast<void>(download::StreamReset(line.protocol));
    Wait(3000);
    for (int count = 0; !FindPorts(line);) {
        Wait(1000);
        ++count;
        if (count == 40) {
            platform::MessageBoxes().Show(kReplugPrompt, "warning", platform::BoxButtons::Ok, platform::BoxIcon::Stop);
        }
        if (count == 80) return false;
    }
    for (int cycle = 0; cycle < 60; ++cycle) {
        Wait(1000);
        TryTimes(3, 2000, [&] { return OpenModemPort(line, line.modemPort, kBaud); });
        if (OpenDiagPort(line, line.diagPort, kBaud) && CheckPhoneInfo(line)) return true;
    }
    return false;
}
