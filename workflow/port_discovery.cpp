#include "workflow/port_discovery.h"

#include <optional>
#include <string>

#include "download/dmss.h"
#include "download/streaming.h"
#include "platform/backends.h"
#include "workflow/line_control.h"
#include "workflow/run_journal.h"

namespace {

constexpr int kBaud = 115200;
constexpr std::uint32_t kStartDelayMs = 2000;
constexpr int kSearchAttempts = 3;
constexpr std::uint32_t kRetryPauseMs = 1000;
constexpr std::uint32_t kCyclePauseMs = 1000;
constexpr std::uint32_t kProbeTimeoutMs = 1000;
constexpr int kProbes = 3;

struct DownloadMode {
    const char* status;
    const char* name;
    DeviceMode mode;
};
constexpr DownloadMode kBootDownloader{"Boot downloader", "boot downloader", DeviceMode::BootDownloader};
constexpr DownloadMode kFlashProgrammer{"Flash programmer", "flash programmer", DeviceMode::FlashProgrammer};

// Asked once of a device on the bus that answers nothing in its normal
// software, so that a modem an earlier run left in download mode is not
// taken for no modem at all. A device that answers in its normal software
// never gets a download-mode request.
const DownloadMode* ProbeDownloadMode(CPhoneProtocol& protocol)
{
    if (download::DmssAnswers(protocol, kProbeTimeoutMs)) return &kBootDownloader;
    if (download::ProgrammerAnswers(protocol, kProbeTimeoutMs)) return &kFlashProgrammer;
    return nullptr;
}
// Whether a device that a journal lets be rescued is still in `mode`: the
// offer of "UPDATE" stays steady while it is, and the device gets nothing
// but this question.
bool StillIn(DownloadLine& line, const DownloadMode& mode)
{
    if (!OpenDiagPort(line, line.diagPort, kBaud)) return false;
    return mode.mode == DeviceMode::BootDownloader ? download::DmssAnswers(line.protocol, kProbeTimeoutMs)
                                                   : download::ProgrammerAnswers(line.protocol, kProbeTimeoutMs);
}

// What the run log says of a device found in download mode: with the one
// journal of a run cut short it may be rescued, else it is left alone.
// Whether "UPDATE" may be offered.
bool ReportDownloadMode(const LineContext& target, const DownloadMode& mode)
{
    DownloadLine& line = target.line;
    const std::string found = "The device on COM" + std::to_string(line.diagPort.load()) + " answers in its " +
                              mode.name + " (download mode), not in its normal software: ";
    const workflow::FoundJournals journals = workflow::FindJournals(line.record.nvFolder.Get(), line.Clock().Now());
    for (const std::string& note : journals.notes) target.Log(note);
    if (journals.journals.size() == 1) {
        const workflow::RunJournal& journal = journals.journals.front();
        target.Log(found + "the upgrade of the modem with ESN " + workflow::EsnText(journal.esn) + " was cut short at \"" +
                   workflow::PhaseName(journal.phase) + "\". Press UPDATE to finish it and put its NV items back.");
        return true;
    }
    target.Log(found + "an earlier run may have been cut short. " +
               (journals.journals.empty() ? std::string("No run journal shows which modem it is")
                                          : "More than one run journal is kept, and nothing shows which one is this "
                                            "modem's") +
               ", so it is left alone. If it comes back the same way after it is pulled out and inserted again, its "
               "firmware is incomplete.");
    return false;
}

// Up to three searches with a pause after each failure; a failure leaves
// -1 as the diagnostic port number.
bool SearchPorts(const std::stop_token& stop, platform::IPortFinder& finder, DownloadLine& line)
{
    for (int attempt = 0; attempt < kSearchAttempts; ++attempt) {
        if (FindPorts(finder, line)) return true;
        line.diagPort = -1;
        if (!platform::PauseUnlessStopped(line.Clock(), stop, kRetryPauseMs)) return false;
    }
    return false;
}

}  // namespace

bool FindPorts(platform::IPortFinder& finder, DownloadLine& line)
{
    const platform::ModemPorts ports = finder.FindModemPorts();
    if (ports.modem) line.modemPort = *ports.modem;
    if (!ports.diag) return false;
    line.diagPort = *ports.diag;
    return true;
}

void PortSearchThread(std::stop_token stop, platform::IPortFinder& finder, const LineContext& target, IFormLink& form)
{
    DownloadLine& line = target.line;
    const int index = target.index;
    if (!platform::PauseUnlessStopped(line.Clock(), stop, kStartDelayMs)) return;
    target.Log("Searching...");
    // Whether the ports open shows in the device check after the search.
    static_cast<void>(OpenDiagPort(line, line.diagPort, kBaud));
    // How often the device now on the bus was asked for a download mode,
    // and what it answered. A device still busy when first asked (a flash
    // programmer waiting for the rest of a block that its killed host never
    // sent) is asked again, a few times.
    int probes = 0;
    const DownloadMode* mode = nullptr;
    bool rescuable = false;
    while (!stop.stop_requested()) {
        if (!SearchPorts(stop, finder, line)) {
            if (stop.stop_requested()) return;
            probes = 0;
            mode = nullptr;
            rescuable = false;
            line.mode = DeviceMode::Normal;
            // The device has left the bus; the form must stop offering to
            // start it.
            line.state = LineState::NoPhone;
            line.SetStatusText("No Phone");
            form.RefreshLineControls(index, false);
            form.RefreshDeviceText(index);
            continue;
        }
        if (rescuable && StillIn(line, *mode)) {
            if (!platform::PauseUnlessStopped(line.Clock(), stop, kCyclePauseMs)) return;
            form.RefreshDeviceText(index);
            form.RefreshPortField(index);
            continue;
        }
        if (rescuable) {
            // It changed its mode: asked afresh.
            probes = 0;
            mode = nullptr;
            rescuable = false;
        }
        // The device check decides; a modem port that does not open only
        // costs the AT commands of a run.
        static_cast<void>(OpenDiagPort(line, line.diagPort, kBaud));
        static_cast<void>(OpenModemPort(line, line.modemPort, kBaud));
        bool answers = CheckPhoneInfo(line);
        bool reachable = true;
        if (!answers) {
            form.RefreshLineControls(index, false);
            if (!OpenDiagPort(line, line.diagPort, kBaud)) {
                reachable = false;
                line.state = LineState::NoPhone;
                line.SetStatusText("No Phone");
            } else if (!stop.stop_requested()) {
                answers = CheckPhoneInfo(line);
            }
        }
        if (answers) {
            form.RefreshLineControls(index, true);
            probes = 0;
            mode = nullptr;
            rescuable = false;
            line.mode = DeviceMode::Normal;
        } else if (reachable && !stop.stop_requested()) {
            if (!mode && probes < kProbes) {
                mode = ProbeDownloadMode(line.protocol);
                rescuable = mode && ReportDownloadMode(target, *mode);
                if (!mode && ++probes == kProbes) {
                    target.Log("The device on COM" + std::to_string(line.diagPort.load()) +
                               " answers neither in its normal software nor in download mode; if it stays so, pull it out and "
                               "insert it again.");
                }
            }
            if (mode) {
                line.SetStatusText(mode->status);
                line.mode = mode->mode;
                if (rescuable) {
                    line.state = LineState::PhoneFound;
                    form.RefreshLineControls(index, true);
                }
            }
        }
        if (!platform::PauseUnlessStopped(line.Clock(), stop, kCyclePauseMs)) return;
        form.RefreshDeviceText(index);
        form.RefreshPortField(index);
    }
}

void PortSearch::Start(int line)
{
    if (line < 0 || line >= CVadodIVODAvuzUzovDoc::kLineCount) return;
    Stop(line);
    m_document.currentLine = line;
    m_threads[static_cast<std::size_t>(line)] = std::jthread([this, line](std::stop_token stop) {
        PortSearchThread(stop, m_document.Backends().portFinder, LineContext{line, m_document.Line(line), m_reporter},
                         m_form);
    });
}

void PortSearch::Stop(int line)
{
    if (line < 0 || line >= CVadodIVODAvuzUzovDoc::kLineCount) return;
    std::jthread& thread = m_threads[static_cast<std::size_t>(line)];
    if (!thread.joinable()) return;
    thread.request_stop();
    thread.join();
}

void PortSearch::StopAll()
{
    // Every search is told first, so that none goes on searching while
    // another is waited for.
    for (std::jthread& thread : m_threads) thread.request_stop();
    for (int line = 0; line < CVadodIVODAvuzUzovDoc::kLineCount; ++line) Stop(line);
}
