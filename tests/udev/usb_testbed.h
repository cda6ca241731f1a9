#pragma once

// A mock USB bus (umockdev) for tests: USB devices with serial interfaces
// whose terminals are pseudo-terminals, CD-ROM mode devices with a SCSI
// generic node whose SG_IO requests are recorded, and the simulated modem
// served on a device's terminals. The test program runs with umockdev's
// preload library (see main.cpp), so udev and /dev are the testbed's.
#include <umockdev.h>

#include <scsi/sg.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/modem.h"

namespace testbed {

struct ScsiRequest {
    std::string devnode;
    std::vector<std::uint8_t> cdb;
    int direction = 0;
    unsigned timeoutMs = 0;
};

class UsbBus {
public:
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    struct Interface {
        int number;
        std::string tty;  // "ttyUSB0"
    };
    // A USB device named `busName` ("1-1") with one terminal per interface,
    // added in the order given; returns its sysfs path.
    std::string AddSerialDevice(const std::string& busName, const char* vendor, const char* product,
                                const std::vector<Interface>& interfaces);
    // A USB device with a SCSI disk; with a SCSI generic node when `sg` is
    // not empty ("sg0"), whose SG_IO requests are recorded.
    std::string AddCdromDevice(const std::string& busName, const char* vendor, const char* product, const std::string& sg);
    // Takes a device off the bus. Its place (bus name) may be taken again,
    // but not its terminal names: the testbed keeps their ptys.
    void Remove(const std::string& syspath);

    // The device side of a terminal: what the host writes arrives here.
    int Master(const std::string& tty);
    std::vector<ScsiRequest> Requests();

private:
    // A bare USB device; returns its sysfs path.
    std::string AddUsbDevice(const std::string& busName, const char* vendor, const char* product);
    // Adds /dev/`node` of `subsystem` under the sysfs path `parent` and
    // serves its ioctls.
    void AddNode(const std::string& parent, const std::string& node, const char* subsystem);
    static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);

    UMockdevTestbed* m_testbed;
    GMainContext* m_context;
    GMainLoop* m_loop;
    std::thread m_loopThread;
    std::vector<UMockdevIoctlBase*> m_handlers;
    std::mutex m_mutex;
    std::vector<ScsiRequest> m_requests;
};

// Serves the simulated modem on two terminals of the bus, in real time.
class ServedModem final : private sim::ISimLink {
public:
    ServedModem(sim::SimModem& modem, int diagMaster, int modemMaster);
    ~ServedModem() override;

private:
    void Send(sim::SimPort port, const sim::Bytes& bytes, std::uint32_t delayMs) override;
    void BusChanged() override {}
    std::uint32_t Now() const;

    sim::SimModem& m_modem;
    int m_diag;
    int m_modemPort;
    std::mutex m_mutex;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace testbed
