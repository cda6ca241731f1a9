#include "app/terminal_options.h"

#include "app/window_policy.h"
#include "platform/usb_table.h"

namespace app {

const char kTerminalUsage[] =
    "usage: upgrader [--yes] [--auto-start] [--time-scale F] [--usb-table FILE]\n"
    "                [--device VID:PID]... [--ports-dir DIR] [--registry FILE]\n"
    "Upgrades the modem's firmware with the firmware this program carries: wait\n"
    "until the device is found, then press Enter (or type u and Enter) for\n"
    "\"UPDATE\"; q and Enter, or Ctrl-C, closes the program. The program ends\n"
    "after one run.\n"
    "\n"
    "  --yes             answer every message box with its default (OK, Yes)\n"
    "  --auto-start      press \"UPDATE\" whenever it becomes available\n"
    "  --time-scale F    run every wait F times faster, F from 0.1 to 100\n"
    "                    (demonstrations and tests; noted in the run log)\n"
    "  --usb-table FILE  the USB devices whose serial ports may be opened, and the\n"
    "                    role of each port (default /etc/upgrader/usb-interfaces,\n"
    "                    else 3e1f:* with every port asked which one it is)\n"
    "  --device VID:PID  one more USB device (hex ids); each of its ports is\n"
    "                    asked which one it is; may be given more than once\n"
    "  --ports-dir DIR   the simulated modem's folder of com<N> links (default\n"
    "                    $UPGRADER_PORTS_DIR, else <state>/ports)\n"
    "  --registry FILE   the simulated modem's REGEDIT4 file that names its ports\n"
    "                    (default $UPGRADER_REGISTRY_FILE, else <state>/registry.reg)\n"
    "  The ports are found through udev, unless one of the last two options or\n"
    "  their variables is given: then the simulated modem's ports are used.\n"
    "\n"
    "Exit status:\n"
    "  0  the upgrade succeeded\n"
    "  1  start-up failed: another copy runs, the state folder is relative, the\n"
    "     root folder or read-only, the working folder is unusable, or the table\n"
    "     of USB devices cannot be read or has a wrong line\n"
    "  2  usage error\n"
    "  3  no run ended: wrong model, or closed before a run\n"
    "  4  download failure; the device was reset in the mode it was in\n"
    "  5  failure that may leave the device in download mode or without its\n"
    "     restored NV items\n"
    "  After a failure once the first image was being written, the device may\n"
    "  not work until this tool has upgraded it again. An NV backup that was not\n"
    "  restored is never deleted: the run log names the file it is kept in.\n"
    "\n"
    "SIGTERM asks as closing does and, like Ctrl-C, ends a run only once it has\n"
    "ended; SIGHUP (the terminal closed) lets the run go on to its end unseen.\n";

std::optional<TerminalOptions> ParseTerminalOptions(int argc, char** argv, bool& help)
{
    TerminalOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            help = true;
            return options;
        }
        if (arg == "--yes") {
            options.yes = true;
            continue;
        }
        if (arg == "--auto-start") {
            options.autoStart = true;
            continue;
        }
        if (i + 1 >= argc) return std::nullopt;
        const char* value = argv[++i];
        if (arg == "--time-scale") {
            // The window's rule: beyond it a wait either never ends in time
            // for a signal or spins.
            std::string ignored;
            const std::optional<double> scale = ParseTimeScale(value, ignored);
            if (!scale) return std::nullopt;
            options.timeScale = *scale;
        } else if (arg == "--ports-dir" && *value) {
            options.portsDir = value;
        } else if (arg == "--registry" && *value) {
            options.registryFile = value;
        } else if (arg == "--usb-table" && *value) {
            options.usbTable = value;
        } else if (arg == "--device") {
            std::uint16_t vendor = 0;
            std::uint16_t product = 0;
            if (!platform::ParseUsbId(value, vendor, product)) return std::nullopt;
            options.devices.emplace_back(vendor, product);
        } else {
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace app
