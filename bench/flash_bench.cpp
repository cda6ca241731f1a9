// flash_bench: the high-speed transfer of shipped-size images into modemsim
// over pseudo-terminals on the real clock, beside the raw rate of a
// pseudo-terminal pair measured in the same run. It prints figures and
// judges nothing.
//
//   flash_bench [--modemsim PATH] [--single]
//
// --single skips the second round with doubled image sizes.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "flashing/high_speed_download.h"
#include "platform/backends.h"
#include "platform/serial_posix.h"
#include "workflow/line_record.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDiagPort = 12;
constexpr int kModemPort = 13;
constexpr std::uint64_t kAmssSize = 15'902'054;
constexpr std::uint64_t kEfsSize = 18'648'064;
constexpr std::size_t kHeaderSize = 40;
constexpr double kMiB = 1024.0 * 1024.0;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds(const rusage& usage)
{
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double CpuNow(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    return CpuSeconds(usage);
}

long PeakResidentKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Deterministic pseudo-random bytes, written a mebibyte at a time so that
// the bench's own memory stays small.
bool WriteImage(const fs::path& path, std::uint64_t size, std::uint64_t seed)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(1 << 20);
    for (std::uint64_t left = size; left > 0;) {
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        for (std::size_t i = 0; i < length; ++i) {
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            chunk[i] = static_cast<char>(seed >> 24);
        }
        out.write(chunk.data(), static_cast<std::streamsize>(length));
        left -= length;
    }
    return static_cast<bool>(out);
}

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

// Bytes through a linked pseudo-terminal pair, written from the terminal
// end in the segment mode's chunks and read on the other end as modemsim
// reads: the ceiling any transfer over these terminals can reach.
double RawPtyMiBps(std::uint64_t bytes)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return 0;
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        ::close(master);
        return 0;
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);

    const auto start = Clock::now();
    std::thread writer([&] {
        const std::vector<std::uint8_t> chunk(flashing::kSegmentChunkSize, 0x5A);
        for (std::uint64_t left = bytes; left > 0;) {
            const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
            const ssize_t n = ::write(slave, chunk.data(), length);
            if (n <= 0) return;
            left -= static_cast<std::uint64_t>(n);
        }
    });
    std::vector<std::uint8_t> buffer(256 * 1024);
    std::uint64_t received = 0;
    while (received < bytes) {
        const ssize_t n = ::read(master, buffer.data(), buffer.size());
        if (n <= 0) break;
        received += static_cast<std::uint64_t>(n);
    }
    const double seconds = Seconds(Clock::now() - start);
    writer.join();
    ::close(slave);
    ::close(master);
    return static_cast<double>(received) / kMiB / seconds;
}

// modemsim as a child process, serving its ports in `folder`.
class Modemsim {
public:
    Modemsim(const std::string& program, const fs::path& folder, const std::vector<std::string>& faults)
        : m_ports(folder / "ports")
    {
        fs::create_directories(m_ports);
        std::vector<std::string> args{program, "--ports-dir", m_ports.string(), "--diag-port", std::to_string(kDiagPort),
                                      "--modem-port", std::to_string(kModemPort), "--switch-delay", "800"};
        for (const auto& fault : faults) {
            args.push_back("--fault");
            args.push_back(fault);
        }
        const std::string log = (folder / "modemsim.log").string();
        m_cpuBefore = CpuNow(RUSAGE_CHILDREN);
        m_pid = ::fork();
        if (m_pid == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv;
            for (auto& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Modemsim() { Stop(); }

    bool Published() const
    {
        for (int i = 0; i < 100; ++i) {
            if (fs::exists(m_ports / ("com" + std::to_string(kDiagPort)))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    const fs::path& Ports() const { return m_ports; }

    // Stops it; the CPU time it used in seconds.
    double Stop()
    {
        if (m_pid <= 0) return 0;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return CpuNow(RUSAGE_CHILDREN) - m_cpuBefore;
    }

private:
    fs::path m_ports;
    pid_t m_pid = -1;
    double m_cpuBefore = 0;
};

bool Reopen(CSerialPort& port, std::uint32_t withinMs)
{
    platform::IClock& clock = platform::Clock();
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
    platform::Clock().SleepMs(500);
    if (!Reopen(protocol.port, 10000)) return false;
    const std::vector<std::uint8_t> programmer(1000, 0xA5);
    return download::DmssWrite(protocol, 0x800000, programmer.data(), 1000) && download::DmssGo(protocol, 0x0080, 0) &&
           download::Hello(protocol) && download::EnterSecurityMode(protocol);
}

struct Figures {
    bool ok = false;
    double seconds = 0;       // the mode's own part, up to the closed image
    double fixedSeconds = 0;  // the fixed waits within it
    double pollSeconds = 0;   // the polling pauses within it
    double dataSeconds = 0;   // segment mode: sending the segments' raw data
    double hostCpu = 0;
    double simCpu = 0;
};

// One image into a fresh modemsim: the modem software in the checksum mode,
// or the file-system image in the segment mode the programmer forces by
// never getting ready.
Figures Flash(const std::string& modemsim, const fs::path& folder, const fs::path& header, const fs::path& image,
              bool segmentMode, CountingClock& clock)
{
    Figures figures;
    Modemsim sim(modemsim, folder, segmentMode ? std::vector<std::string>{"neverready"} : std::vector<std::string>{});
    if (!sim.Published()) return figures;
    platform::PosixSerialPorts ports(sim.Ports().string());
    platform::ScopedSerialPorts usePorts(ports);

    DownloadLine line;
    PhaseReporter reporter(clock);
    LineContext context{0, line, reporter};
    const bool pathsFit = line.record.amssHeaderPath.Set(header.string()) && line.record.amssPath.Set(image.string()) &&
                          line.record.efsPath.Set(image.string());
    if (!pathsFit || !StartProgrammer(line.protocol)) return figures;

    clock.Reset();
    const double cpuBefore = CpuNow(RUSAGE_SELF);
    std::uint64_t fixedBefore = 0;
    std::uint64_t pollBefore = 0;
    if (segmentMode) {
        figures.ok = static_cast<bool>(flashing::WriteCefsImage(context));
        // The checksum mode's attempt, waiting in vain for readiness, is
        // not the segment mode's time.
        if (reporter.firstEntry) {
            figures.seconds = Seconds(Clock::now() - *reporter.firstEntry);
            fixedBefore = reporter.fixedMsBefore;
            pollBefore = reporter.pollMsBefore;
        }
        figures.dataSeconds = reporter.dataSeconds;
    } else {
        const auto start = Clock::now();
        figures.ok = static_cast<bool>(flashing::WriteAmssImage(context));
        figures.seconds = Seconds(Clock::now() - start);
    }
    figures.hostCpu = CpuNow(RUSAGE_SELF) - cpuBefore;
    figures.fixedSeconds = static_cast<double>(clock.fixedMs - fixedBefore) / 1000.0;
    figures.pollSeconds = static_cast<double>(clock.pollMs - pollBefore) / 1000.0;
    line.protocol.port.Close();
    figures.simCpu = sim.Stop();
    return figures;
}

void PrintRow(const char* name, std::uint64_t bytes, const char* mode, const Figures& f, double rawMiBps)
{
    const double mib = static_cast<double>(bytes) / kMiB;
    if (!f.ok) {
        std::printf("%-14s %11llu  %-8s  transfer FAILED (see modemsim.log)\n", name,
                    static_cast<unsigned long long>(bytes), mode);
        return;
    }
    const double busy = f.seconds - f.fixedSeconds;
    char data[16] = "-";
    if (f.dataSeconds > 0) std::snprintf(data, sizeof data, "%.1f", mib / f.dataSeconds);
    std::printf("%-14s %11llu  %-8s %7.2f %7.2f %7.2f %9.2f %7.2f %7s %7.1f %7.2f %8.2f\n", name,
                static_cast<unsigned long long>(bytes), mode, f.seconds, mib / f.seconds, f.fixedSeconds,
                busy > 0 ? mib / busy : 0.0, f.pollSeconds, data, rawMiBps, f.hostCpu * 1000.0 / mib,
                f.simCpu * 1000.0 / mib);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string modemsim = FLASH_BENCH_MODEMSIM;
    bool doubled = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--modemsim" && i + 1 < argc) modemsim = argv[++i];
        else if (arg == "--single") doubled = false;
        else {
            std::fprintf(stderr, "usage: flash_bench [--modemsim PATH] [--single]\n");
            return 2;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/flash-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("flash_bench: mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;
    CountingClock clock;
    platform::ScopedClock useClock(clock);

    std::printf("flash_bench: high-speed transfer into %s over pseudo-terminals, real clock\n", modemsim.c_str());
    std::printf("time, fixed waits (3000 ms after each segment's data, 2000 ms after its reports) and polling\n"
                "pauses in s; rates in MiB/s, 'w/o waits' without the fixed waits, 'data' while a segment's raw\n"
                "data goes out, 'raw pty' through a bare terminal pair; host and modemsim CPU in ms per MiB\n\n");
    std::printf("%-14s %11s  %-8s %7s %7s %7s %9s %7s %7s %7s %7s %8s\n", "image", "bytes", "mode", "time", "rate",
                "fixed", "w/o waits", "polling", "data", "raw pty", "host", "modemsim");

    const fs::path header = folder / "amsshd.mbn";
    WriteImage(header, kHeaderSize, 1);
    for (int factor = 1; factor <= (doubled ? 2 : 1); ++factor) {
        const std::uint64_t amssSize = kAmssSize * factor;
        const std::uint64_t efsSize = kEfsSize * factor;
        const fs::path amss = folder / "amss.mbn";
        const fs::path efs = folder / "efs.mbn";
        WriteImage(amss, amssSize, 2 * factor);
        WriteImage(efs, efsSize, 3 * factor);
        const std::string suffix = factor == 1 ? "" : " x2";

        const double amssRaw = RawPtyMiBps(amssSize);
        const Figures checksum = Flash(modemsim, folder / ("amss" + std::to_string(factor)), header, amss, false, clock);
        PrintRow(("amss.mbn" + suffix).c_str(), amssSize, "checksum", checksum, amssRaw);
        std::fflush(stdout);

        const double efsRaw = RawPtyMiBps(efsSize);
        const Figures segment = Flash(modemsim, folder / ("efs" + std::to_string(factor)), header, efs, true, clock);
        PrintRow(("efs.mbn" + suffix).c_str(), efsSize, "segment", segment, efsRaw);
        std::fflush(stdout);
    }
    std::printf("\npeak resident memory of the host: %ld KiB\n", PeakResidentKiB());

    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return 0;
}
