// usb-bridge: puts modemsim on a mock USB bus. Whenever modemsim's registry
// file names its ports, they appear as the terminals of a USB device
// (fff1:0001, interface 00 the diagnostic port, 02 the modem port) on a
// umockdev testbed, and the bytes are carried between each terminal and
// modemsim's own. When the device leaves the bus, the USB device goes; when
// it comes back, it comes back in the same place under new terminal names,
// as a re-enumerated device does while its old terminals are still open.
// Programs see the bus with umockdev's preload library and the UMOCKDEV_DIR
// this program writes to READY_FILE.
//
// usage: usb-bridge PORTS_DIR REGISTRY_FILE READY_FILE
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/port_finder.h"
#include "../udev/usb_testbed.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

// One of the device's ports: a terminal on the mock bus carried to one of
// modemsim's.
struct Carried {
    int master = -1;
    int simulated = -1;
};

// Carries what is there now, all of it: a full terminal on the other side
// is waited for (a second at most), as a USB link would hold the data back.
void Pump(int from, int to)
{
    std::uint8_t bytes[4096];
    const ssize_t got = ::read(from, bytes, sizeof bytes);
    for (ssize_t sent = 0; got > 0 && sent < got;) {
        const ssize_t wrote = ::write(to, bytes + sent, static_cast<std::size_t>(got - sent));
        if (wrote > 0) {
            sent += wrote;
            continue;
        }
        if (wrote < 0 && errno != EAGAIN) return;
        pollfd room{to, POLLOUT, 0};
        if (::poll(&room, 1, 1000) <= 0) return;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: usb-bridge PORTS_DIR REGISTRY_FILE READY_FILE\n");
        return 2;
    }
    const std::string portsDir = argv[1];
    const std::string ready = argv[3];
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });

    testbed::UsbBus bus;
    std::ofstream(ready + ".new") << std::getenv("UMOCKDEV_DIR") << "\n";
    std::rename((ready + ".new").c_str(), ready.c_str());

    platform::RegFileRegistry file(argv[2]);
    std::optional<int> published[2];
    std::string device;
    std::vector<Carried> carried;
    int terminals = 0;
    while (!g_stop) {
        platform::MemoryRegistry registry = file.Load();
        const platform::ModemPorts found = platform::RegistryPortFinder(registry).FindModemPorts();
        const std::optional<int> now[2] = {found.diag, found.modem};
        if (now[0] != published[0] || now[1] != published[1]) {
            if (!device.empty()) {
                // What modemsim sent before it left still reaches the host.
                for (int round = 0; round < 10; ++round) {
                    for (const Carried& port : carried) Pump(port.simulated, port.master);
                    ::usleep(20000);
                }
                for (const Carried& port : carried) ::close(port.simulated);
                bus.Remove(device);
                std::printf("device %s left the bus\n", device.c_str());
                device.clear();
                carried.clear();
            }
            std::copy(now, now + 2, published);
            // Back on the same USB port: the same place on the bus, 1-1.
            std::vector<testbed::UsbBus::Interface> interfaces;
            std::vector<int> numbers;
            for (int i = 0; i < 2 && now[0]; ++i) {
                if (!now[i]) continue;
                interfaces.push_back({i == 0 ? 0 : 2, "ttyUSB" + std::to_string(terminals++)});
                numbers.push_back(*now[i]);
            }
            if (!interfaces.empty()) device = bus.AddSerialDevice("1-1", "fff1", "0001", interfaces);
            for (std::size_t i = 0; i < interfaces.size(); ++i) {
                const std::string link = portsDir + "/com" + std::to_string(numbers[i]);
                const Carried port{bus.Master(interfaces[i].tty), ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
                termios tio{};
                if (::tcgetattr(port.simulated, &tio) == 0) {
                    ::cfmakeraw(&tio);
                    ::tcsetattr(port.simulated, TCSANOW, &tio);
                }
                ::fcntl(port.master, F_SETFL, ::fcntl(port.master, F_GETFL) | O_NONBLOCK);
                carried.push_back(port);
                std::printf("device 1-1: /dev/%s carries COM%d\n", interfaces[i].tty.c_str(), numbers[i]);
            }
            std::fflush(stdout);
        }
        std::vector<pollfd> fds;
        for (const Carried& port : carried) {
            fds.push_back({port.master, POLLIN, 0});
            fds.push_back({port.simulated, POLLIN, 0});
        }
        ::poll(fds.data(), fds.size(), 10);
        for (std::size_t i = 0; i < carried.size(); ++i) {
            if (fds[2 * i].revents & POLLIN) Pump(carried[i].master, carried[i].simulated);
            if (fds[2 * i + 1].revents & POLLIN) Pump(carried[i].simulated, carried[i].master);
        }
    }
    return 0;
}
