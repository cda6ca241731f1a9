// flash-firmware: writes the firmware this program carries into a modem that
// runs its normal software: the payloads are extracted into the working
// folder, the modem is switched into its boot downloader, the flash
// programmer is loaded and started, and the partition table, boot loaders,
// modem software, NAND programmer and file-system image are written, as the
// upgrade does it; then the modem is reset. Progress and the run log go to
// standard output. (NV backup and restore belong to the full upgrade.)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "flashing/flash_sequence.h"
#include "flashing/image_set.h"
#include "flashing/programmer_loading.h"
#include "flashing/retry.h"
#include "platform/backends.h"
#include "workflow/line_record.h"
#include "workflow/line_reporting.h"
#include "workflow/run_log.h"
#include "workflow/upgrade_progress.h"

namespace {

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
    void SetLineProgress(int, int percent) override
    {
        if (percent == m_percent) return;
        m_percent = percent;
        std::printf("  progress %s\n", ProgressText(percent).c_str());
        std::fflush(stdout);
    }
    void AppendLineText(int, std::string_view text, bool stamped) override
    {
        const std::string entry = m_log.Append(text, stamped);
        std::printf("  log: %s\n", Printable(entry.substr(m_shown, entry.size() - m_shown - 1)).c_str());
        m_shown = entry.size();
        std::fflush(stdout);
    }

private:
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
    int diagPort = 12;
    int modemPort = 13;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--diag-port") == 0) diagPort = Number(argv[i + 1]);
        else if (std::strcmp(argv[i], "--modem-port") == 0) modemPort = Number(argv[i + 1]);
        else diagPort = -1;
    }
    if (diagPort < 0 || modemPort < 0 || argc % 2 == 0) {
        std::fprintf(stderr, "usage: flash-firmware [--diag-port N] [--modem-port N]\n"
                             "The ports are the links com<N> in $UPGRADER_PORTS_DIR.\n");
        return 2;
    }

    if (!flashing::PrepareWorkingFolder()) {
        std::fprintf(stderr, "flash-firmware: cannot create the working folder %s\n", flashing::WorkingFolder().c_str());
        return 1;
    }
    DownloadLine line;
    ConsoleReporter reporter;
    LineContext ctx{0, line, reporter};
    if (!flashing::FillImagePaths(line, flashing::WorkingFolder())) {
        std::fprintf(stderr, "flash-firmware: the working folder's path is too long\n");
        return 1;
    }
    if (!flashing::ExtractWorkingFiles()) {
        std::fprintf(stderr, "flash-firmware: the firmware could not be written whole into %s\n",
                     flashing::WorkingFolder().c_str());
        flashing::RemoveWorkingFiles(flashing::Cleanup::EndOfRun);
        return 1;
    }
    std::printf("firmware extracted into %s\n", flashing::WorkingFolder().c_str());
    line.diagPort = diagPort;
    line.modemPort = modemPort;
    CPhoneProtocol& protocol = line.protocol;

    bool ok = Step("open the diagnostic port", OpenDiagPort(line, diagPort, 115200), protocol);
    if (ok && Step("read the versions", diag::GetFourVersions(protocol, line.versions), protocol)) {
        std::printf("  current version %s, product %s\n", line.versions.fields[0], line.versions.fields[8]);
    }
    line.state = LineState::PhoneFound;
    ok = ok && Step("check the firmware files", flashing::CheckImageFolder(ctx, true), protocol);

    ok = ok && Step("switch to the boot downloader", diag::SwitchToDownloader(protocol), protocol);
    ok = ok && Step("boot downloader answers", flashing::Retry(20, 500, flashing::LastPause::Skip, [&] {
                        return OpenDiagPort(line, diagPort, 115200) && download::DmssNop(protocol);
                    }), protocol);
    ok = ok && Step("load the RAM programmer", flashing::LoadRamProgrammer(ctx));
    if (ok) reporter.SetLineProgress(0, progress::kProgrammerLoaded);
    platform::Clock().SleepMs(2000);
    ok = ok && Step("start the programmer", flashing::StartProgrammer(ctx));
    if (ok) reporter.SetLineProgress(0, progress::kProgrammerStarted);
    ok = ok && Step("write every image", flashing::WriteAllImages(ctx));
    ok = ok && Step("reset the modem", download::StreamReset(protocol), protocol);
    line.protocol.port.Close();
    flashing::RemoveWorkingFiles(flashing::Cleanup::EndOfRun);
    std::printf(ok ? "flash-firmware: every image written\n" : "flash-firmware: the flashing failed\n");
    return ok ? 0 : 1;
}
