// modemsim: one simulated modem served over pseudo-terminals.
#include <signal.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "sim/pty_server.h"
#include "sim/state_file.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

const char kUsage[] =
    "usage: modemsim --ports-dir DIR [options]\n"
    "Serves one simulated modem: its diagnostic and modem ports appear as links\n"
    "DIR/com<N> to pseudo-terminals while the device is on the bus.\n"
    "\n"
    "  --ports-dir DIR      folder for the com<N> links (default $UPGRADER_PORTS_DIR)\n"
    "  --registry FILE      keep a REGEDIT4 file with the driver-service keys that\n"
    "                       name the ports, rewritten at every bus change\n"
    "  --hook COMMAND       shell command run after every bus change (for example\n"
    "                       to import the registry file into a Wine prefix);\n"
    "                       $MODEMSIM_REGISTRY names the registry file\n"
    "  --diag-port N        diagnostic port number (default 12)\n"
    "  --modem-port N       modem port number (default 13)\n"
    "  --renumber N         move both port numbers by N whenever the device returns\n"
    "  --return-delay MS    time a reset keeps the device off the bus (default 4000)\n"
    "  --switch-delay MS    time the switch to the boot downloader takes (default 1500)\n"
    "  --reply-delay MS     time every reply takes (default 2)\n"
    "  --product TEXT       product text the device reports\n"
    "  --start-mode MODE    normal, downloader or programmer: the mode the device\n"
    "                       is switched on in (default: the mode its flash boots\n"
    "                       into, normal for a fresh device). Every reset and\n"
    "                       power cycle starts the boot downloader while the\n"
    "                       flash holds an incomplete image set\n"
    "  --state FILE         keep the device's flash in FILE and its NV items in\n"
    "                       FILE.nv across restarts: loaded at start when they\n"
    "                       exist (a damaged file ends the program with status 1\n"
    "                       and is left as it is); FILE replaced when an image is\n"
    "                       opened or closed or the partition table taken,\n"
    "                       FILE.nv when an NV item changes, both at the end\n"
    "  --fault SPEC         switch a fault on (repeatable), one of:\n"
    "                         REQUEST=silent|late:MS|badcrc|double|nak:N|diagerror:N|streamerror:N[*COUNT]\n"
    "                         nvstatus:ITEM=STATUS  nvnoreply:ITEM  blockreject:N  neverready\n"
    "                         wrongsegmentcrc\n"
    "                         vanishafter:BYTES  neverreturn  lost  swapped  product:TEXT\n"
    "                         downloadcheck:N  challenge:HEX16\n"
    "                       REQUEST names a request the device answers (esn, nvread,\n"
    "                       dmsswrite, swrite, checksum, ...); a fault it cannot apply\n"
    "                       ends the program with status 1\n"
    "  --dump DIR           on exit, write what the device holds: partition.bin,\n"
    "                       image-<type>.header, image-<type>.bin, ram.bin, requests.txt\n"
    "\n"
    "Every request the device receives is logged on standard output. SIGINT or\n"
    "SIGTERM takes the device off the bus and ends the program.\n";

bool WriteFile(const std::string& path, const sim::Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool Dump(const sim::SimModem& modem, const std::string& dir)
{
    ::mkdir(dir.c_str(), 0700);
    bool ok = WriteFile(dir + "/partition.bin", modem.PartitionTable());
    ok &= WriteFile(dir + "/ram.bin", sim::Bytes(modem.Ram().begin(), modem.Ram().begin() + modem.RamHighWater()));
    for (const auto& [type, image] : modem.Images()) {
        const std::string base = dir + "/image-" + std::to_string(type);
        ok &= WriteFile(base + ".header", image.header);
        ok &= WriteFile(base + ".bin", image.data);
    }
    std::ofstream requests(dir + "/requests.txt", std::ios::trunc);
    for (const auto& request : modem.Received()) requests << sim::PtyServer::Describe(request) << "\n";
    return ok && static_cast<bool>(requests);
}

bool ParseInt(const char* text, long minimum, long& value)
{
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && value >= minimum;
}

bool ParseMode(const std::string& text, sim::ModemConfig& config)
{
    for (const sim::SimMode mode : {sim::SimMode::Normal, sim::SimMode::Downloader, sim::SimMode::Programmer}) {
        if (text == sim::ModeName(mode)) config.startMode = mode;
    }
    return config.startMode && text == sim::ModeName(*config.startMode);
}

}  // namespace

int main(int argc, char** argv)
{
    sim::ModemConfig config;
    sim::PtyServerOptions options;
    if (const char* dir = std::getenv("UPGRADER_PORTS_DIR")) options.portsDirectory = dir;
    std::string dumpDir;
    std::string stateFile;
    std::vector<std::string> faults;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "modemsim: %s needs a value\n%s", arg.c_str(), kUsage);
            return 2;
        }
        const char* value = argv[++i];
        long number = 0;
        bool ok = true;
        if (arg == "--ports-dir") options.portsDirectory = value;
        else if (arg == "--registry") options.registryFile = value;
        else if (arg == "--hook") options.hook = value;
        else if (arg == "--dump") dumpDir = value;
        else if (arg == "--state") stateFile = value;
        else if (arg == "--start-mode") ok = ParseMode(value, config);
        else if (arg == "--product") config.productText = value;
        else if (arg == "--fault") faults.push_back(value);
        else if (arg == "--diag-port" && (ok = ParseInt(value, 1, number))) config.diagPort = static_cast<int>(number);
        else if (arg == "--modem-port" && (ok = ParseInt(value, 1, number))) config.modemPort = static_cast<int>(number);
        else if (arg == "--renumber" && (ok = ParseInt(value, 0, number))) config.renumberStep = static_cast<int>(number);
        else if (arg == "--return-delay" && (ok = ParseInt(value, 0, number))) config.returnDelayMs = static_cast<std::uint32_t>(number);
        else if (arg == "--switch-delay" && (ok = ParseInt(value, 0, number))) config.downloaderDelayMs = static_cast<std::uint32_t>(number);
        else if (arg == "--reply-delay" && (ok = ParseInt(value, 0, number))) config.replyDelayMs = static_cast<std::uint32_t>(number);
        else ok = false;
        if (!ok) {
            std::fprintf(stderr, "modemsim: bad option %s %s\n%s", arg.c_str(), value, kUsage);
            return 2;
        }
    }
    if (options.portsDirectory.empty()) {
        std::fprintf(stderr, "modemsim: no ports folder: give --ports-dir or set UPGRADER_PORTS_DIR\n");
        return 2;
    }
    ::mkdir(options.portsDirectory.c_str(), 0700);

    sim::SimModem modem(config);
    std::string error;
    sim::StateFile state(stateFile);
    if (!stateFile.empty() && !state.Load(modem, error)) {
        std::fprintf(stderr, "modemsim: %s\n", error.c_str());
        return 1;
    }
    const auto save = [&] {
        std::string reason;
        if (!state.Save(modem, reason)) std::fprintf(stderr, "modemsim: %s\n", reason.c_str());
    };
    if (!stateFile.empty()) options.storeChanged = save;
    for (const std::string& fault : faults) {
        if (!modem.faults().Parse(fault, error)) {
            std::fprintf(stderr, "modemsim: %s\n", error.c_str());
            return 1;
        }
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::PtyServer server(modem, options);
    if (!server.Start(error)) {
        std::fprintf(stderr, "modemsim: %s\n", error.c_str());
        return 1;
    }
    server.Run(g_stop);
    server.Shutdown();
    // Image data that came in since the last image was opened or closed.
    if (!stateFile.empty()) save();
    std::printf("modemsim: stopped after %zu requests\n", modem.Received().size());
    if (!dumpDir.empty() && !Dump(modem, dumpDir)) {
        std::fprintf(stderr, "modemsim: cannot write everything into %s\n", dumpDir.c_str());
        return 1;
    }
    return 0;
}
