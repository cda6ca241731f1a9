// flash_bench: the high-speed transfer of shipped-size images into modemsim
// over pseudo-terminals on the real clock, by flash_worker natively and, when
// given its Windows build, under Wine, beside the raw rate of a
// pseudo-terminal pair measured in the same run. It prints figures and
// judges nothing.
//
//   flash_bench [--modemsim PATH] [--worker PATH] [--wine-worker PATH.exe] [--single]
//
// --single skips the second round with doubled image sizes.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "flashing/high_speed_download.h"
#include "payload/manifest.h"

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

// The CPU seconds a running process has used so far, from /proc.
double ProcessCpu(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // utime and stime are the 14th and 15th fields, the 12th and 13th after
    // the name.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The Wine server (wineserver, or wineserver64 as Debian names it), once a
// Windows program runs.
std::optional<pid_t> FindWineserver()
{
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream comm(entry.path() / "comm");
        std::string command;
        if (std::getline(comm, command) && command.starts_with("wineserver")) return static_cast<pid_t>(std::stol(name));
    }
    return std::nullopt;
}

// A child process with its standard output and error in `log`.
pid_t Spawn(std::vector<std::string> args, const fs::path& log, const std::vector<std::string>& environment = {})
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        for (const auto& variable : environment) ::putenv(const_cast<char*>(variable.c_str()));
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// modemsim as a child process, serving its ports in `ports`.
class Modemsim {
public:
    Modemsim(const std::string& program, const fs::path& ports, const fs::path& log, bool neverReady)
        : m_ports(ports)
    {
        fs::create_directories(m_ports);
        std::vector<std::string> args{program, "--ports-dir", m_ports.string(), "--diag-port", std::to_string(kDiagPort),
                                      "--modem-port", std::to_string(kModemPort), "--switch-delay", "800"};
        if (neverReady) {
            args.push_back("--fault");
            args.push_back("neverready");
        }
        m_pid = Spawn(args, log);
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

    // Stops it; the CPU time it used in seconds.
    double Stop()
    {
        if (m_pid <= 0) return 0;
        const double cpu = ProcessCpu(m_pid);
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return cpu;
    }

private:
    fs::path m_ports;
    pid_t m_pid = -1;
};

struct Figures {
    bool ok = false;
    double seconds = 0;       // the mode's own part, up to the closed image
    double fixedSeconds = 0;  // the fixed waits within it
    double pollSeconds = 0;   // the polling pauses within it
    double dataSeconds = 0;   // segment mode: sending the segments' raw data
    double hostCpu = 0;
    long peakKiB = 0;
    double simCpu = 0;
    std::optional<double> wineserverCpu;
};

bool ParseFigures(const fs::path& log, Figures& figures)
{
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        int ok = 0;
        if (std::sscanf(line.c_str(), "figures %d %lf %lf %lf %lf %lf %ld", &ok, &figures.seconds,
                        &figures.fixedSeconds, &figures.pollSeconds, &figures.dataSeconds, &figures.hostCpu,
                        &figures.peakKiB) == 7) {
            figures.ok = ok == 1;
            return true;
        }
    }
    return false;
}

// How a worker is started: natively, or under Wine with the ports in the
// prefix's dosdevices and the paths on its Z: drive.
struct Host {
    const char* name;
    std::string worker;
    bool wine = false;
    std::string wineRun;
    fs::path dosdevices;
};

std::string WindowsPath(const fs::path& path)
{
    std::string text = "Z:" + path.string();
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    return text;
}

// One image into a fresh modemsim: the modem software in the checksum mode,
// or the file-system image in the segment mode the programmer forces by
// never getting ready.
Figures Flash(const std::string& modemsim, const Host& host, const fs::path& folder, const fs::path& header,
              const fs::path& image, bool segmentMode)
{
    Figures figures;
    fs::create_directories(folder);
    const fs::path ports = host.wine ? host.dosdevices : folder / "ports";
    Modemsim sim(modemsim, ports, folder / "modemsim.log", segmentMode);
    if (!sim.Published()) return figures;

    const std::string mode = segmentMode ? "segment" : "checksum";
    const fs::path log = folder / "worker.log";
    pid_t worker = 0;
    if (host.wine) {
        worker = Spawn({host.wineRun, host.worker, mode, WindowsPath(header), WindowsPath(image)}, log);
    } else {
        worker = Spawn({host.worker, mode, header.string(), image.string()}, log,
                       {"UPGRADER_PORTS_DIR=" + ports.string()});
    }
    std::optional<pid_t> wineserver;
    double wineserverBefore = 0;
    int status = 0;
    for (;;) {
        // The server starts with the program; its CPU before the transfer
        // is small against the transfer's.
        if (host.wine && !wineserver && (wineserver = FindWineserver())) wineserverBefore = ProcessCpu(*wineserver);
        if (::waitpid(worker, &status, WNOHANG) == worker) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (wineserver) {
        figures.wineserverCpu = ProcessCpu(*wineserver) - wineserverBefore;
        // The server holds the terminals: it goes before they close.
        const std::string env = host.wineRun.substr(0, host.wineRun.rfind('/')) + "/wine-env.sh";
        const pid_t wait = Spawn({"/bin/sh", "-c", ". '" + env + "' && wineserver -w"}, folder / "wineserver.log");
        ::waitpid(wait, nullptr, 0);
    }
    ParseFigures(log, figures);
    figures.simCpu = sim.Stop();
    return figures;
}

// False when the row failed.
bool PrintRow(const char* name, const char* host, std::uint64_t bytes, const char* mode, const Figures& f,
              double rawMiBps)
{
    const double mib = static_cast<double>(bytes) / kMiB;
    if (!f.ok) {
        std::printf("%-14s %-6s %11llu  %-8s  transfer FAILED (see worker.log and modemsim.log)\n", name, host,
                    static_cast<unsigned long long>(bytes), mode);
        return false;
    }
    const double busy = f.seconds - f.fixedSeconds;
    char data[16] = "-";
    if (f.dataSeconds > 0) std::snprintf(data, sizeof data, "%.1f", mib / f.dataSeconds);
    char wine[16] = "-";
    if (f.wineserverCpu) std::snprintf(wine, sizeof wine, "%.2f", *f.wineserverCpu * 1000.0 / mib);
    std::printf("%-14s %-6s %11llu  %-8s %7.2f %7.2f %7.2f %9.2f %7.2f %7s %7.1f %7.2f %8.2f %10s %8ld\n", name, host,
                static_cast<unsigned long long>(bytes), mode, f.seconds, mib / f.seconds, f.fixedSeconds,
                busy > 0 ? mib / busy : 0.0, f.pollSeconds, data, rawMiBps, f.hostCpu * 1000.0 / mib,
                f.simCpu * 1000.0 / mib, wine, f.peakKiB);
    return true;
}

std::string PrefixOf(const std::string& wineRun)
{
    const std::string env = wineRun.substr(0, wineRun.rfind('/')) + "/wine-env.sh";
    const std::string command = ". '" + env + "' && printf %s \"$WINEPREFIX\"";
    std::string prefix;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) prefix += buffer;
        ::pclose(pipe);
    }
    return prefix;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string modemsim = FLASH_BENCH_MODEMSIM;
    std::vector<Host> hosts{{"native", FLASH_BENCH_WORKER, false, {}, {}}};
    bool doubled = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--modemsim" && i + 1 < argc) modemsim = argv[++i];
        else if (arg == "--worker" && i + 1 < argc) hosts[0].worker = argv[++i];
        else if (arg == "--wine-worker" && i + 1 < argc) {
            Host wine{"wine", fs::absolute(argv[++i]).string(), true, FLASH_BENCH_WINE_RUN, {}};
            wine.dosdevices = fs::path(PrefixOf(wine.wineRun)) / "dosdevices";
            if (!fs::is_directory(wine.dosdevices)) {
                std::fprintf(stderr, "flash_bench: no Wine prefix at %s: run scripts/setup.sh first\n",
                             wine.dosdevices.parent_path().c_str());
                return 1;
            }
            hosts.push_back(wine);
        } else if (arg == "--single") doubled = false;
        else {
            std::fprintf(stderr, "usage: flash_bench [--modemsim PATH] [--worker PATH] [--wine-worker PATH.exe] [--single]\n");
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

    std::printf("flash_bench: high-speed transfer into %s over pseudo-terminals, real clock\n", modemsim.c_str());
    for (const Host& host : hosts) std::printf("  %-6s %s\n", host.name, host.worker.c_str());
    std::printf("time, fixed waits (3000 ms after each segment's data, 2000 ms after its reports) and polling\n"
                "pauses in s; rates in MiB/s, 'w/o waits' without the fixed waits, 'data' while a segment's raw\n"
                "data goes out, 'raw pty' through a bare terminal pair; host, modemsim and wineserver CPU in ms\n"
                "per MiB; the host's peak resident memory in KiB\n\n");
    std::printf("%-14s %-6s %11s  %-8s %7s %7s %7s %9s %7s %7s %7s %7s %8s %10s %8s\n", "image", "host", "bytes", "mode",
                "time", "rate", "fixed", "w/o waits", "polling", "data", "raw pty", "host", "modemsim", "wineserver",
                "peak");

    bool failed = false;
    const fs::path header = folder / payload::kAmssHeader.fileName;
    WriteImage(header, kHeaderSize, 1);
    for (int factor = 1; factor <= (doubled ? 2 : 1); ++factor) {
        const std::uint64_t amssSize = kAmssSize * factor;
        const std::uint64_t efsSize = kEfsSize * factor;
        const fs::path amss = folder / payload::kAmss.fileName;
        const fs::path efs = folder / payload::kEfs.fileName;
        WriteImage(amss, amssSize, 2 * factor);
        WriteImage(efs, efsSize, 3 * factor);
        const std::string suffix = factor == 1 ? "" : " x2";

        const double amssRaw = RawPtyMiBps(amssSize);
        for (const Host& host : hosts) {
            const fs::path run = folder / ("amss" + std::to_string(factor) + "-" + host.name);
            failed |= !PrintRow((std::string(payload::kAmss.fileName) + suffix).c_str(), host.name, amssSize,
                                "checksum",
                                Flash(modemsim, host, run, header, amss, false), amssRaw);
            std::fflush(stdout);
        }
        const double efsRaw = RawPtyMiBps(efsSize);
        for (const Host& host : hosts) {
            const fs::path run = folder / ("efs" + std::to_string(factor) + "-" + host.name);
            failed |= !PrintRow((std::string(payload::kEfs.fileName) + suffix).c_str(), host.name, efsSize, "segment",
                                Flash(modemsim, host, run, header, efs, true), efsRaw);
            std::fflush(stdout);
        }
    }

    if (failed) {
        std::printf("\nkept %s for inspection\n", folder.c_str());
        return 1;
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return 0;
}
