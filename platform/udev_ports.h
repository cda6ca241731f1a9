#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/port_finder.h"
#include "platform/serial_posix.h"
#include "platform/usb_table.h"

namespace platform {

// One terminal of a USB serial interface, as udev reports it.
struct UsbTty {
    std::string devnode;  // "/dev/ttyUSB0"
    std::string syspath;  // the terminal's own sysfs path
    std::string device;   // the USB device's sysfs path: one per device on the bus
    std::string busName;  // the USB device's name on the bus ("1-1.2"), for messages
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    int interface = -1;
};
// Every terminal of a USB interface on the system, in udev's order: one
// enumeration of udev.
std::vector<UsbTty> ListUsbTtys();
// The terminal at a sysfs path, looked up without an enumeration; nothing
// once it has left.
std::optional<UsbTty> UsbTtyAt(const std::string& syspath);

// The SCSI generic nodes of every USB device with these ids, and how many
// such devices are on the bus (a device without a node has its disk driver
// but not the sg module).
struct ScsiGenericNodes {
    std::vector<std::string> devnodes;
    int devices = 0;
};
ScsiGenericNodes FindScsiGeneric(std::uint16_t vendor, std::uint16_t product);

// The ports of a modem on a real USB bus, found through udev: each search
// enumerates the bus once, and the ports are those of the device's
// diagnostic and modem interfaces. A port number names an interface at a
// place on the bus and leads to whatever terminal it has now: a device
// that comes back in the same place under other terminal names keeps its
// numbers, one that comes back elsewhere gets new ones. A port is opened
// by the terminal the last search saw there while that terminal is still
// there; only after it left is the bus listed again to find the new one.
// Only terminals of devices in the table are ever opened.
// One device is served at a time: the first one found, for as long as it is
// on the bus; any other is left alone and named in the run log.
class UdevPorts final : public IPortFinder, public ISerialPorts {
public:
    // Asks an opened port which one it is; nothing when it answers neither.
    using Prober = std::function<std::optional<PortRole>(ISerialDevice&)>;
    // Lists the terminals of the bus (ListUsbTtys); a test may count its calls.
    using Lister = std::function<std::vector<UsbTty>()>;

    UdevPorts(UsbTable table, Prober prober, Lister list = ListUsbTtys);

    ModemPorts FindModemPorts() override;
    std::unique_ptr<ISerialDevice> OpenPort(int number) override;
    std::string HeldBy(int number) override;

    // Told, with a sentence for the run log, about what the run log should
    // know: a second modem, a port that answers nothing, a holder.
    void OnNote(std::function<void(const std::string&)> notify);

    // The terminal behind a port number now; empty when none.
    std::string DeviceOf(int number);

private:
    std::optional<PortRole> RoleOf(const UsbTty& tty);
    // The number of the terminal's place, given at its first sight.
    int NumberOf(const UsbTty& tty);
    void Note(const std::string& key, const std::string& text);

    const UsbTable m_table;
    const Prober m_prober;
    const Lister m_list;
    HolderNotes m_holders;

    std::mutex m_mutex;
    std::function<void(const std::string&)> m_notify;
    std::set<std::string> m_told;
    // Port numbers by place on the bus and interface.
    std::map<std::string, int> m_numbers;
    int m_nextNumber = 1;
    // The terminal last seen at each numbered place.
    std::map<std::string, UsbTty> m_terminals;
    // The answers of probed terminals while they stay on the bus.
    std::map<std::string, std::optional<PortRole>> m_probed;
    std::string m_served;
};

}  // namespace platform
