// flash_worker: the measured half of flash_bench, as a program of its own
// so that the same transfer runs natively and as a Windows program under
// Wine. It takes a modem in normal mode on COM<12> (the links in
// $UPGRADER_PORTS_DIR natively, the prefix's dosdevices under Wine), starts
// a stand-in flash programmer, writes one image in the checksum mode or, as
// a programmer that never gets ready forces, in the segment mode, and prints
// one line of figures:
//
//   figures OK SECONDS FIXED POLL DATA HOST_CPU PEAK_KIB
//
//   flash_worker checksum|segment HEADER IMAGE
#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "flashing/high_speed_download.h"
#include "platform/backends.h"
#include "workflow/line_record.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDiagPort = 12;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

#ifdef _WIN32
double CpuSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
}

long PeakResidentKiB()
{
    PROCESS_MEMORY_COUNTERS counters{};
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}
#else
double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakResidentKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
#endif

// The real clock, counting what the host sleeps: the procedures' fixed
// waits (a second and longer) apart from their polling pauses.
class CountingClock final : public platform::IClock {
public:
    void SleepMs(std::uint32_t ms) override
    {
        if (ms >= 1000) fixedMs += ms;
        else pollMs += ms;
        m_real.SleepMs(ms);
    }
    std::uint32_t TickCount() override { return m_real.TickCount(); }
    platform::LocalTime Now() override { return m_real.Now(); }
    void Reset() { fixedMs = pollMs = 0; }

    std::uint64_t fixedMs = 0;
    std::uint64_t pollMs = 0;

private:
    platform::RealClock m_real;
};

// Follows the segment mode through its run-log entries: its first entry
// ends the checksum mode's attempt (with the host's sleeps up to then), and
// each segment's data goes out between its first two entries.
class PhaseReporter final : public ILineReporter {
public:
    explicit PhaseReporter(CountingClock& clock) : m_clock(clock) {}
    void SetLineProgress(int, int) override {}
    void AppendLineText(int, std::string_view text, bool) override
    {
        const auto now = Clock::now();
        if (!firstEntry) {
            firstEntry = now;
            fixedMsBefore = m_clock.fixedMs;
            pollMsBefore = m_clock.pollMs;
        }
        if (text.ends_with("(Send data in high speed)...")) m_dataStart = now;
        if (text == "Send success,wait for CRC return!") dataSeconds += Seconds(now - m_dataStart);
    }

    std::optional<Clock::time_point> firstEntry;
    std::uint64_t fixedMsBefore = 0;
    std::uint64_t pollMsBefore = 0;
    double dataSeconds = 0;

private:
    CountingClock& m_clock;
    Clock::time_point m_dataStart;
};

bool Reopen(CSerialPort& port, std::uint32_t withinMs)
{
    platform::IClock& clock = port.Clock();
    port.Close();
    const std::uint32_t start = clock.TickCount();
    while (!port.Open(kDiagPort, 115200, 8, 1)) {
        if (clock.TickCount() - start > withinMs) return false;
        clock.SleepMs(100);
    }
    return true;
}

// From normal mode through the boot downloader to a greeted flash
// programmer in trusted mode.
bool StartProgrammer(CPhoneProtocol& protocol)
{
    if (!Reopen(protocol.port, 5000) || !diag::SwitchToDownloader(protocol)) return false;
    protocol.port.Close();
    protocol.port.Clock().SleepMs(500);
    if (!Reopen(protocol.port, 10000)) return false;
    const std::vector<std::uint8_t> programmer(1000, 0xA5);
    return download::DmssWrite(protocol, 0x800000, programmer.data(), 1000) && download::DmssGo(protocol, 0x0080, 0) &&
           download::Hello(protocol) && download::EnterSecurityMode(protocol);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc == 4 ? argv[1] : "";
    if (mode != "checksum" && mode != "segment") {
        std::fprintf(stderr, "usage: flash_worker checksum|segment HEADER IMAGE\n");
        return 2;
    }
    const bool segmentMode = mode == "segment";
    CountingClock clock;
    const platform::SystemBackends system(clock);
    DownloadLine line(system.Get());
    PhaseReporter reporter(clock);
    LineContext context{0, line, reporter};
    if (!line.record.amssHeaderPath.Set(argv[2]) || !line.record.amssPath.Set(argv[3]) ||
        !line.record.efsPath.Set(argv[3])) {
        std::fprintf(stderr, "flash_worker: a path is too long\n");
        return 2;
    }
    if (!StartProgrammer(line.protocol)) {
        std::fprintf(stderr, "flash_worker: the programmer did not start: %s\n", line.protocol.LastError().c_str());
        std::printf("figures 0 0 0 0 0 0 0\n");
        return 1;
    }

    clock.Reset();
    const double cpuBefore = CpuSeconds();
    double seconds = 0;
    std::uint64_t fixedBefore = 0;
    std::uint64_t pollBefore = 0;
    bool ok = false;
    if (segmentMode) {
        ok = static_cast<bool>(flashing::WriteCefsImage(context));
        // The checksum mode's attempt, waiting in vain for readiness, is
        // not the segment mode's time.
        if (reporter.firstEntry) {
            seconds = Seconds(Clock::now() - *reporter.firstEntry);
            fixedBefore = reporter.fixedMsBefore;
            pollBefore = reporter.pollMsBefore;
        }
    } else {
        const auto start = Clock::now();
        ok = static_cast<bool>(flashing::WriteAmssImage(context));
        seconds = Seconds(Clock::now() - start);
    }
    const double hostCpu = CpuSeconds() - cpuBefore;
    line.protocol.port.Close();
    std::printf("figures %d %.3f %.3f %.3f %.3f %.3f %ld\n", ok ? 1 : 0, seconds,
                static_cast<double>(clock.fixedMs - fixedBefore) / 1000.0,
                static_cast<double>(clock.pollMs - pollBefore) / 1000.0, reporter.dataSeconds, hostCpu,
                PeakResidentKiB());
    return ok ? 0 : 1;
}
