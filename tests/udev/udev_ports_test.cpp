// The modem's ports found on a mock USB bus through udev, the way the port
// search asks for them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/port_probe.h"
#include "platform/backends.h"
#include "platform/udev_ports.h"
#include "sim/modem.h"
#include "test_backends.h"
#include "usb_testbed.h"
#include "workflow/document.h"
#include "workflow/port_discovery.h"

extern char** environ;

namespace {

constexpr const char* kModemTable = "fff1:0001 00 diag\nfff1:0001 02 modem\n";
constexpr const char* kProbeTable = "3e1f:* * probe\n";

struct Found {
    bool found = false;
    std::string diag;
    std::string modem;
};

class UdevPortsTest : public testing::Test {
protected:
    // The ports of the devices `text` names; their notes go to `notes`.
    platform::UdevPorts& Ports(const char* text, platform::UdevPorts::Prober prober = nullptr)
    {
        platform::UsbTable table;
        std::string error;
        EXPECT_TRUE(platform::UsbTable::Parse(text, table, error)) << error;
        udev.emplace(table, std::move(prober), [this] {
            ++enumerations;
            return platform::ListUsbTtys();
        });
        udev->OnNote([this](const std::string& text) { notes.push_back(text); });
        return *udev;
    }

    Found Find(platform::UdevPorts& ports)
    {
        DownloadLine line(others.With(clock, ports));
        Found found;
        found.found = FindPorts(ports, line);
        if (line.diagPort > 0) found.diag = ports.DeviceOf(line.diagPort);
        if (line.modemPort > 0) found.modem = ports.DeviceOf(line.modemPort);
        return found;
    }

    // Nothing written to the device side of a terminal (EIO: no one has
    // its terminal open now).
    static bool Untouched(int master)
    {
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        std::uint8_t byte = 0;
        return ::read(master, &byte, 1) < 0 && (errno == EAGAIN || errno == EIO);
    }

    platform::RealClock clock;
    OtherBackends others;
    testbed::UsbBus bus;
    std::vector<std::string> notes;
    std::optional<platform::UdevPorts> udev;
    int enumerations = 0;
};

TEST_F(UdevPortsTest, RolesFromTheTableWhateverTheOrderOfTheInterfaces)
{
    bus.AddSerialDevice("1-1", "fff1", "0001", {{2, "ttyUSB0"}, {1, "ttyUSB1"}, {0, "ttyUSB2"}});
    bus.AddSerialDevice("1-2", "fff1", "0001", {{0, "ttyUSB5"}, {2, "ttyUSB3"}});
    platform::UdevPorts& ports = Ports(kModemTable);
    const Found found = Find(ports);
    ASSERT_TRUE(found.found);
    EXPECT_EQ(found.diag, "/dev/ttyUSB2");
    EXPECT_EQ(found.modem, "/dev/ttyUSB0");
}

TEST_F(UdevPortsTest, RolesOfAnUnknownDeviceComeFromItsAnswers)
{
    sim::SimModem modem;
    bus.AddSerialDevice("3-1", "3e1f", "9001", {{4, "ttyACM0"}, {1, "ttyACM1"}, {7, "ttyACM2"}});
    // ttyACM2 belongs to no one: it answers nothing.
    testbed::ServedModem served(modem, bus.Master("ttyACM1"), bus.Master("ttyACM0"));
    platform::UdevPorts& ports = Ports(kProbeTable, app::ProbePort);
    const Found found = Find(ports);
    ASSERT_TRUE(found.found);
    EXPECT_EQ(found.diag, "/dev/ttyACM1");
    EXPECT_EQ(found.modem, "/dev/ttyACM0");
    // Each terminal is asked once while it stays.
    const std::size_t requests = modem.Received().size();
    EXPECT_TRUE(Find(ports).found);
    EXPECT_EQ(modem.Received().size(), requests);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], "/dev/ttyACM2 (USB device 3-1, 3e1f:9001) answered neither a DIAG request nor AT: it is not used.");
}

// A cycle of the port search: the ports found, then both opened.
TEST_F(UdevPortsTest, OneSearchEnumeratesTheBusOnce)
{
    bus.AddSerialDevice("1-1", "fff1", "0001", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
    platform::UdevPorts& ports = Ports(kModemTable);
    DownloadLine line(others.With(clock, ports));
    for (int search = 1; search <= 2; ++search) {
        ASSERT_TRUE(FindPorts(ports, line));
        EXPECT_TRUE(OpenDiagPort(line, line.diagPort, 115200));
        EXPECT_TRUE(OpenModemPort(line, line.modemPort, 115200));
        EXPECT_EQ(enumerations, search);
    }
}

TEST_F(UdevPortsTest, ADeviceThatComesBackUnderOtherTerminalsIsFoundAgain)
{
    platform::UdevPorts& ports = Ports(kModemTable);
    DownloadLine line(others.With(clock, ports));

    std::string device = bus.AddSerialDevice("1-1", "fff1", "0001", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
    ASSERT_TRUE(FindPorts(ports, line));
    const int diag = line.diagPort;
    const int modem = line.modemPort;
    ASSERT_TRUE(ports.OpenPort(diag));

    bus.Remove(device);
    EXPECT_FALSE(FindPorts(ports, line));
    EXPECT_FALSE(ports.OpenPort(diag));

    // Back on the same USB port under other terminal names (its download
    // mode has no modem port): the number it had leads to the new terminal
    // even before the next search.
    device = bus.AddSerialDevice("1-1", "fff1", "0001", {{0, "ttyUSB2"}});
    EXPECT_EQ(ports.DeviceOf(diag), "/dev/ttyUSB2");
    EXPECT_TRUE(ports.OpenPort(diag));
    ASSERT_TRUE(FindPorts(ports, line));
    EXPECT_EQ(line.diagPort, diag);

    // On another USB port it is another instance, with numbers of its own.
    bus.Remove(device);
    bus.AddSerialDevice("1-2", "fff1", "0001", {{2, "ttyUSB3"}, {0, "ttyUSB4"}});
    ASSERT_TRUE(FindPorts(ports, line));
    EXPECT_NE(line.diagPort, diag);
    EXPECT_NE(line.modemPort, modem);
    EXPECT_EQ(ports.DeviceOf(line.diagPort), "/dev/ttyUSB4");
    EXPECT_EQ(ports.DeviceOf(line.modemPort), "/dev/ttyUSB3");
}

TEST_F(UdevPortsTest, TerminalsOfOtherDevicesAreNeverOpened)
{
    sim::SimModem modem;
    bus.AddSerialDevice("1-3", "1234", "5678", {{0, "ttyUSB0"}, {1, "ttyUSB1"}});
    const std::string ours = bus.AddSerialDevice("1-4", "3e1f", "9001", {{0, "ttyUSB2"}, {1, "ttyUSB3"}});
    {
        testbed::ServedModem served(modem, bus.Master("ttyUSB2"), bus.Master("ttyUSB3"));
        platform::UdevPorts& ports = Ports(kProbeTable, app::ProbePort);
        DownloadLine line(others.With(clock, ports));
        ASSERT_TRUE(FindPorts(ports, line));
        EXPECT_EQ(ports.DeviceOf(line.diagPort), "/dev/ttyUSB2");

        // The modem leaves and another device comes: its terminal is not
        // opened, whatever number is asked for.
        bus.Remove(ours);
        bus.AddSerialDevice("1-5", "1234", "5679", {{0, "ttyUSB4"}});
        EXPECT_FALSE(FindPorts(ports, line));
        for (int number = 0; number < 8; ++number) EXPECT_FALSE(ports.OpenPort(number));
        EXPECT_TRUE(Untouched(bus.Master("ttyUSB4")));
    }
    EXPECT_TRUE(Untouched(bus.Master("ttyUSB0")));
    EXPECT_TRUE(Untouched(bus.Master("ttyUSB1")));
}

TEST_F(UdevPortsTest, ASecondModemIsLeftAloneAndNamedOnce)
{
    bus.AddSerialDevice("2-1", "fff1", "0001", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
    bus.AddSerialDevice("2-2", "fff1", "0001", {{0, "ttyUSB2"}, {2, "ttyUSB3"}});
    platform::UdevPorts& ports = Ports(kModemTable);
    for (int round = 0; round < 3; ++round) {
        const Found found = Find(ports);
        EXPECT_EQ(found.diag, "/dev/ttyUSB0");
        EXPECT_EQ(found.modem, "/dev/ttyUSB1");
    }
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], "Another modem, USB device 2-2 (fff1:0001), is left untouched: this program upgrades one modem at "
                        "a time. Upgrade it once this one is done.");
}

TEST_F(UdevPortsTest, AnotherProgramHoldingAPortIsNamed)
{
    bus.AddSerialDevice("1-1", "fff1", "0001", {{0, "ttyUSB0"}, {2, "ttyUSB1"}});
    platform::UdevPorts& ports = Ports(kModemTable);
    DownloadLine line(others.With(clock, ports));
    ASSERT_TRUE(FindPorts(ports, line));
    EXPECT_EQ(ports.HeldBy(line.diagPort), "");

    // The holder opens the terminal itself, through the mock bus: a spawned
    // child that opened it before its exec would run the preload library in
    // this process's memory.
    const char* arguments[] = {"sh", "-c", "exec sleep 30 </dev/ttyUSB0", nullptr};
    pid_t holder = 0;
    ASSERT_EQ(::posix_spawnp(&holder, "sh", nullptr, nullptr, const_cast<char* const*>(arguments), environ), 0);
    const std::string expected = "sleep (process " + std::to_string(holder) + ")";
    std::string held;
    for (int i = 0; i < 300 && held != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        held = ports.HeldBy(line.diagPort);
    }
    EXPECT_EQ(held, expected);
    ports.OpenPort(line.diagPort);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ASSERT_FALSE(notes.empty());
    EXPECT_NE(notes[0].find("is held open by sleep (process " + std::to_string(holder) + ")"), std::string::npos) << notes[0];
}

}  // namespace
