#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/serial_posix.h"
#include "platform/usb_table.h"

namespace platform {

// One terminal of a USB serial interface, as udev reports it.
struct UsbTty {
    std::string devnode;  // "/dev/ttyUSB0"
    std::string device;   // the USB device's sysfs path: one per device on the bus
    std::string busName;  // the USB device's name on the bus ("1-1.2"), for messages
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    int interface = -1;
};
// Every terminal of a USB interface on the system, in udev's order.
std::vector<UsbTty> ListUsbTtys();

// The SCSI generic nodes of every USB device with these ids, and how many
// such devices are on the bus (a device without a node has its disk driver
// but not the sg module).
struct ScsiGenericNodes {
    std::vector<std::string> devnodes;
    int devices = 0;
};
ScsiGenericNodes FindScsiGeneric(std::uint16_t vendor, std::uint16_t product);

// The ports of a modem on a real USB bus, found through udev. It answers the
// port search's registry queries as the modem's drivers would register it:
// the two driver services' Enum keys name the device's diagnostic and modem
// interfaces, whose "Device Parameters" give "COM<n>". A port number names
// an interface at a place on the bus and leads to whatever terminal it has
// now: a device that comes back in the same place under other terminal
// names keeps its numbers, one that comes back elsewhere gets new ones.
// Only terminals of devices in the table are ever opened.
// One device is served at a time: the first one found, for as long as it is
// on the bus; any other is left alone and named in the run log.
class UdevPorts final : public SnapshotRegistry, public ISerialPorts {
public:
    // Asks an opened port which one it is; nothing when it answers neither.
    using Prober = std::function<std::optional<PortRole>(ISerialDevice&)>;

    UdevPorts(UsbTable table, std::string modemService, std::string diagService, Prober prober);

    MemoryRegistry Load() override;
    std::unique_ptr<ISerialDevice> OpenPort(int number) override;
    std::string HeldBy(int number) override;

    // Told, with a sentence for the run log, about what the run log should
    // know: a second modem, a port that answers nothing, a holder.
    void OnNote(std::function<void(const std::string&)> notify);

    // The terminal behind a port number now; empty when none.
    std::string DeviceOf(int number);

private:
    std::optional<PortRole> RoleOf(const UsbTty& tty);
    void Note(const std::string& key, const std::string& text);

    const UsbTable m_table;
    const std::string m_modemService;
    const std::string m_diagService;
    const Prober m_prober;
    HolderNotes m_holders;

    std::mutex m_mutex;
    std::function<void(const std::string&)> m_notify;
    std::set<std::string> m_told;
    // Port numbers by place on the bus and interface.
    std::map<std::string, int> m_numbers;
    int m_nextNumber = 1;
    // The answers of probed terminals while they stay on the bus.
    std::map<std::string, std::optional<PortRole>> m_probed;
    std::string m_served;
};

}  // namespace platform
