// flash-firmware: writes the firmware this program carries into a modem that
// runs its normal software: the payloads are extracted into the working
// folder, the modem's model is checked, it is switched into its boot
// downloader, the flash programmer is loaded and started, and the partition
// table, boot loaders, modem software, NAND programmer and file-system image
// are written, as the upgrade does it; then the modem is reset. Progress and
// the run log go to standard output.
// Writing the file-system image resets the modem's NV items to factory
// values, and only the full upgrade backs them up and restores them: this
// program runs only when its command line says they will be lost.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/terminal_input.h"
#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "flashing/clean_up.h"
#include "flashing/extraction.h"
#include "flashing/flash_sequence.h"
#include "flashing/line_paths.h"
#include "flashing/pre_run_check.h"
#include "flashing/programmer_loading.h"
#include "flashing/retry.h"
#include "flashing/working_folder.h"
#include "platform/backends.h"
#include "platform/files.h"
#include "workflow/line_record.h"
#include "workflow/line_reporting.h"
#include "workflow/line_start.h"
#include "workflow/run_log.h"
#include "workflow/upgrade_progress.h"

namespace {

constexpr const char* kLoseNvItems = "--lose-nv-items";
constexpr const char* kUsage =
    "usage: flash-firmware --lose-nv-items [--diag-port N] [--modem-port N]\n"
    "Writes the firmware this program carries into the modem whose ports are the\n"
    "links com<N> in $UPGRADER_PORTS_DIR (12 and 13). Its NV items (calibration\n"
    "and identity) are reset to factory values and not restored: upgrader keeps\n"
    "them. Signals wait until the flashing has ended, unless they come before\n"
    "the modem has left its normal software.\n"
    "Exit status: 0 every image written; 1 a failure; 2 usage error; 3 nothing\n"
    "written: a modem of another model, or a signal before anything was written.\n";
constexpr const char* kNvItemsRefusal =
    "flash-firmware: writing the firmware resets the modem's NV items (its calibration and identity) to factory\n"
    "values, and flash-firmware keeps no backup of them. To keep them, upgrade the modem with upgrader, which\n"
    "backs them up and restores them; to flash it anyway and lose them, add --lose-nv-items.\n";
constexpr int kNothingWritten = 3;

// Where a signal finds the program: before the modem leaves its normal
// software a signal stops it; once it has, the flashing goes on to its end.
enum Stage : int { kPreparing, kStopAsked, kFlashing };

// Shows the log's code page 936 dashes as UTF-8.
std::string Printable(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i + 1 < text.size() && static_cast<unsigned char>(text[i]) == 0xA1 &&
            static_cast<unsigned char>(text[i + 1]) == 0xAA) {
            out += "\u2014";
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

class ConsoleReporter final : public ILineReporter {
public:
    explicit ConsoleReporter(platform::IClock& clock) : m_clock(clock) {}
    void SetLineProgress(int, int percent) override
    {
        if (percent == m_percent) return;
        m_percent = percent;
        std::printf("  progress %s\n", ProgressText(percent).c_str());
        std::fflush(stdout);
    }
    void AppendLineText(int, std::string_view text, bool stamped) override
    {
        const std::string entry = m_log.Append(text, stamped ? std::optional(m_clock.Now()) : std::nullopt);
        std::printf("  log: %s\n", Printable(entry.substr(m_shown, entry.size() - m_shown - 1)).c_str());
        m_shown = entry.size();
        std::fflush(stdout);
    }

private:
    platform::IClock& m_clock;
    RunLog m_log;
    std::size_t m_shown = 0;
    int m_percent = -1;
};

bool Step(const char* what, bool ok, const std::string& reason)
{
    std::printf("%-40s %s\n", what, ok ? "ok" : "FAILED");
    if (!ok && !reason.empty()) std::printf("  reason: %s\n", reason.c_str());
    std::fflush(stdout);
    return ok;
}

bool Step(const char* what, bool ok, const CPhoneProtocol& protocol) { return Step(what, ok, protocol.LastError()); }

bool Step(const char* what, const StepResult& result) { return Step(what, static_cast<bool>(result), result.Reason()); }

int Number(const char* text)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value > 0 && value < 100000 ? static_cast<int>(value) : -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!platform::ReserveStandardStreams()) return 1;
    int diagPort = 12;
    int modemPort = 13;
    bool loseNvItems = false;
    bool wrong = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kLoseNvItems) == 0) loseNvItems = true;
        else if (i + 1 < argc && std::strcmp(argv[i], "--diag-port") == 0) diagPort = Number(argv[++i]);
        else if (i + 1 < argc && std::strcmp(argv[i], "--modem-port") == 0) modemPort = Number(argv[++i]);
        else wrong = true;
    }
    if (wrong || diagPort < 0 || modemPort < 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!loseNvItems) {
        std::fputs(kNvItemsRefusal, stderr);
        return 2;
    }

    // As in the upgrader: a full disk or a closed pipe fails a write instead
    // of ending the program, and the signals are taken by a thread of their
    // own (before any other thread starts).
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    std::atomic<int> stage{kPreparing};
    const auto signalled = [&stage] {
        int preparing = kPreparing;
        if (!stage.compare_exchange_strong(preparing, kStopAsked) && preparing == kFlashing) {
            std::printf("flash-firmware: closing once the flashing has ended: a flash cut short can leave the modem "
                        "unusable\n");
            std::fflush(stdout);
        }
    };
    app::TerminalSignals signals(
        [&signalled] {
            platform::SilenceStandardStreams();
            signalled();
        },
        signalled);

    const std::string folder = flashing::DefaultWorkingFolder();
    if (const StepResult usable = flashing::CheckWorkingFolder(folder); !usable) {
        std::fprintf(stderr, "flash-firmware: %s\n", usable.Reason().c_str());
        return 1;
    }
    if (!flashing::PrepareWorkingFolder(folder)) {
        std::fprintf(stderr, "flash-firmware: cannot create the working folder %s\n", folder.c_str());
        return 1;
    }
    platform::RealClock clock;
    const platform::SystemBackends system(clock, platform::ByteLogPath());
    const platform::Backends& backends = system.Get();
    DownloadLine line(backends);
    ConsoleReporter reporter(clock);
    LineContext ctx{0, line, reporter};
    if (!flashing::FillImagePaths(line, folder)) {
        std::fprintf(stderr, "flash-firmware: the working folder's path is too long\n");
        return 1;
    }
    CPhoneProtocol& protocol = line.protocol;
    const auto end = [&](int status, const char* text) {
        protocol.port.Close();
        flashing::RemoveWorkingFiles(folder, flashing::Cleanup::EndOfRun, clock, nullptr);
        std::printf("flash-firmware: %s\n", text);
        return status;
    };
    if (!flashing::ExtractWorkingFiles(folder, backends)) {
        std::fprintf(stderr, "flash-firmware: the firmware could not be written whole into %s\n", folder.c_str());
        return end(1, "nothing was written into the modem");
    }
    std::printf("firmware extracted into %s\n", folder.c_str());
    line.diagPort = diagPort;
    line.modemPort = modemPort;

    if (!Step("open the diagnostic port", OpenDiagPort(line, diagPort, 115200), protocol)) {
        return end(1, "the flashing failed");
    }
    const bool ourModel = ModelAccepted(line);
    std::printf("  current version %s, product %s\n", line.versions.fields[0], line.versions.fields[8]);
    if (!ourModel) return end(kNothingWritten, LineControl::kWrongModel);
    line.state = LineState::PhoneFound;
    if (!Step("check the firmware files", flashing::CheckImageFolder(ctx, true), protocol)) {
        return end(1, "the flashing failed");
    }
    int preparing = kPreparing;
    if (!stage.compare_exchange_strong(preparing, kFlashing)) {
        return end(kNothingWritten, "stopped by a signal before the modem left its normal software; nothing was written");
    }

    bool ok = Step("switch to the boot downloader", diag::SwitchToDownloader(protocol));
    ok = ok && Step("boot downloader answers", flashing::Retry(clock, 20, 500, flashing::LastPause::Skip, [&] {
                        return OpenDiagPort(line, diagPort, 115200) && download::DmssNop(protocol);
                    }), protocol);
    ok = ok && Step("load the RAM programmer", flashing::LoadRamProgrammer(ctx));
    if (ok) reporter.SetLineProgress(0, progress::kProgrammerLoaded);
    clock.SleepMs(2000);
    ok = ok && Step("start the programmer", flashing::StartProgrammer(ctx));
    if (ok) reporter.SetLineProgress(0, progress::kProgrammerStarted);
    ok = ok && Step("write every image", flashing::WriteAllImages(ctx));
    ok = ok && Step("reset the modem", download::StreamReset(protocol));
    return ok ? end(0, "every image written") : end(1, "the flashing failed");
}
