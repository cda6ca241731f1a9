#include "platform/udev_ports.h"

#include <libudev.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace platform {
namespace {

struct UdevDeleter {
    void operator()(udev* context) const { udev_unref(context); }
    void operator()(udev_enumerate* enumeration) const { udev_enumerate_unref(enumeration); }
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::optional<unsigned> HexAttribute(udev_device* device, const char* name)
{
    const char* value = device ? udev_device_get_sysattr_value(device, name) : nullptr;
    if (!value || !*value) return std::nullopt;
    char* end = nullptr;
    const unsigned long number = std::strtoul(value, &end, 16);
    if (*end != '\0' && *end != '\n') return std::nullopt;
    return static_cast<unsigned>(number);
}

// Calls `visit` with every device of `subsystem` that sits below a USB
// device, with that USB device.
template <typename Visit>
void ForEachBelowUsb(const char* subsystem, Visit visit)
{
    UdevPtr<udev> context(udev_new());
    if (!context) return;
    UdevPtr<udev_enumerate> enumeration(udev_enumerate_new(context.get()));
    if (!enumeration || udev_enumerate_add_match_subsystem(enumeration.get(), subsystem) < 0 ||
        udev_enumerate_scan_devices(enumeration.get()) < 0) {
        return;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get()))
    {
        UdevPtr<udev_device> device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!device) continue;
        // Parents belong to the child and go with it.
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device");
        if (usb) visit(device.get(), usb);
    }
}

// A terminal below the USB device `usb`; nothing when udev lacks a part.
std::optional<UsbTty> Describe(udev_device* device, udev_device* usb)
{
    const char* devnode = udev_device_get_devnode(device);
    const char* ttyPath = udev_device_get_syspath(device);
    udev_device* interface = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
    const auto number = HexAttribute(interface, "bInterfaceNumber");
    const auto vendor = HexAttribute(usb, "idVendor");
    const auto product = HexAttribute(usb, "idProduct");
    const char* syspath = udev_device_get_syspath(usb);
    const char* sysname = udev_device_get_sysname(usb);
    if (!devnode || !ttyPath || !number || !vendor || !product || !syspath || !sysname) return std::nullopt;
    return UsbTty{devnode, ttyPath, syspath, sysname, static_cast<std::uint16_t>(*vendor),
                  static_cast<std::uint16_t>(*product), static_cast<int>(*number)};
}

std::string Identify(const UsbTty& tty)
{
    return tty.devnode + " (USB device " + tty.busName + ", " + UsbIdText(tty.vendor) + ":" + UsbIdText(tty.product) + ")";
}

// Where a port is: the device's place on the bus and the interface. A
// device that comes back in the same place keeps its port numbers, whatever
// its terminals are called now, as the numbers of a device that comes back
// on the same USB port stay on Windows.
std::string Place(const UsbTty& tty) { return tty.busName + ":" + std::to_string(tty.interface); }

}  // namespace

std::vector<UsbTty> ListUsbTtys()
{
    std::vector<UsbTty> ttys;
    ForEachBelowUsb("tty", [&](udev_device* device, udev_device* usb) {
        if (auto tty = Describe(device, usb)) ttys.push_back(std::move(*tty));
    });
    return ttys;
}

std::optional<UsbTty> UsbTtyAt(const std::string& syspath)
{
    UdevPtr<udev> context(udev_new());
    UdevPtr<udev_device> device(context ? udev_device_new_from_syspath(context.get(), syspath.c_str()) : nullptr);
    udev_device* usb = device ? udev_device_get_parent_with_subsystem_devtype(device.get(), "usb", "usb_device") : nullptr;
    return usb ? Describe(device.get(), usb) : std::nullopt;
}

ScsiGenericNodes FindScsiGeneric(std::uint16_t vendor, std::uint16_t product)
{
    const auto matches = [&](udev_device* usb) {
        return HexAttribute(usb, "idVendor") == vendor && HexAttribute(usb, "idProduct") == product;
    };
    ScsiGenericNodes found;
    ForEachBelowUsb("scsi_generic", [&](udev_device* device, udev_device* usb) {
        const char* devnode = udev_device_get_devnode(device);
        if (devnode && matches(usb)) found.devnodes.emplace_back(devnode);
    });
    UdevPtr<udev> context(udev_new());
    UdevPtr<udev_enumerate> enumeration(context ? udev_enumerate_new(context.get()) : nullptr);
    if (enumeration && udev_enumerate_add_match_subsystem(enumeration.get(), "usb") >= 0 &&
        udev_enumerate_add_match_property(enumeration.get(), "DEVTYPE", "usb_device") >= 0 &&
        udev_enumerate_scan_devices(enumeration.get()) >= 0) {
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get()))
        {
            UdevPtr<udev_device> usb(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
            if (usb && matches(usb.get())) ++found.devices;
        }
    }
    return found;
}

UdevPorts::UdevPorts(UsbTable table, Prober prober, Lister list)
    : m_table(std::move(table)), m_prober(std::move(prober)), m_list(std::move(list))
{
}

void UdevPorts::OnNote(std::function<void(const std::string&)> notify)
{
    m_holders.OnHeld(notify);
    std::lock_guard lock(m_mutex);
    m_notify = std::move(notify);
}

void UdevPorts::Note(const std::string& key, const std::string& text)
{
    std::function<void(const std::string&)> notify;
    {
        std::lock_guard lock(m_mutex);
        if (!m_told.insert(key).second) return;
        notify = m_notify;
    }
    if (notify) notify(text);
}

std::optional<PortRole> UdevPorts::RoleOf(const UsbTty& tty)
{
    const std::optional<PortRole> role = m_table.RoleOf(tty.vendor, tty.product, tty.interface);
    if (role != PortRole::Probe) return role;
    {
        std::lock_guard lock(m_mutex);
        if (const auto known = m_probed.find(tty.devnode); known != m_probed.end()) return known->second;
    }
    // A terminal is asked once while it stays: the answer holds until it
    // leaves the bus.
    const std::unique_ptr<ISerialDevice> port = OpenTerminal(tty.devnode);
    if (!port) {
        Note("open " + tty.devnode + " " + tty.device,
             Identify(tty) + " could not be opened to ask which port it is: it went away, or another program holds it. "
                             "It is asked again while it is on the bus.");
        return std::nullopt;
    }
    const std::optional<PortRole> answer = m_prober ? m_prober(*port) : std::nullopt;
    if (!answer) {
        Note("silent " + tty.devnode + " " + tty.device,
             Identify(tty) + " answered neither a DIAG request nor AT: it is not used.");
    }
    std::lock_guard lock(m_mutex);
    m_probed[tty.devnode] = answer;
    return answer;
}

int UdevPorts::NumberOf(const UsbTty& tty)
{
    std::lock_guard lock(m_mutex);
    auto [slot, added] = m_numbers.try_emplace(Place(tty), m_nextNumber);
    if (added) ++m_nextNumber;
    m_terminals[Place(tty)] = tty;
    return slot->second;
}

ModemPorts UdevPorts::FindModemPorts()
{
    std::vector<UsbTty> known;
    for (UsbTty& tty : m_list()) {
        if (m_table.Knows(tty.vendor, tty.product)) known.push_back(std::move(tty));
    }
    std::string served;
    {
        std::lock_guard lock(m_mutex);
        // Answers of terminals that left are forgotten: a new terminal of
        // the same name may be another port.
        std::erase_if(m_probed, [&](const auto& probed) {
            return std::none_of(known.begin(), known.end(), [&](const UsbTty& tty) { return tty.devnode == probed.first; });
        });
        const bool stillThere = std::any_of(known.begin(), known.end(), [&](const UsbTty& tty) { return tty.device == m_served; });
        if (!stillThere) m_served = known.empty() ? std::string() : known.front().device;
        served = m_served;
    }
    std::optional<UsbTty> diag;
    std::optional<UsbTty> modem;
    for (const UsbTty& tty : known) {
        if (tty.device != served) {
            Note("other " + tty.device, "Another modem, USB device " + tty.busName + " (" + UsbIdText(tty.vendor) + ":" +
                                            UsbIdText(tty.product) + "), is left untouched: this program upgrades one modem "
                                            "at a time. Upgrade it once this one is done.");
            continue;
        }
        const std::optional<PortRole> role = RoleOf(tty);
        if (role == PortRole::Diag && !diag) diag = tty;
        if (role == PortRole::Modem && !modem) modem = tty;
    }
    ModemPorts found;
    if (diag) found.diag = NumberOf(*diag);
    if (modem) found.modem = NumberOf(*modem);
    return found;
}

std::string UdevPorts::DeviceOf(int number)
{
    std::string place;
    std::optional<UsbTty> seen;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [assignedPlace, assigned] : m_numbers) {
            if (assigned == number) place = assignedPlace;
        }
        if (const auto terminal = m_terminals.find(place); terminal != m_terminals.end()) seen = terminal->second;
    }
    if (place.empty()) return {};
    // Only a device of the table is ever looked at, and only in its place.
    const auto ours = [&](const UsbTty& tty) { return Place(tty) == place && m_table.Knows(tty.vendor, tty.product); };
    if (seen) {
        if (const auto now = UsbTtyAt(seen->syspath); now && ours(*now)) return now->devnode;
    }
    // The terminal seen there has left: after a reset the device may be
    // back under another name.
    for (const UsbTty& tty : m_list()) {
        if (!ours(tty)) continue;
        std::lock_guard lock(m_mutex);
        m_terminals[place] = tty;
        return tty.devnode;
    }
    return {};
}

std::unique_ptr<ISerialDevice> UdevPorts::OpenPort(int number)
{
    const std::string devnode = DeviceOf(number);
    if (devnode.empty()) return nullptr;
    m_holders.Tell(number, devnode);
    return OpenTerminal(devnode);
}

std::string UdevPorts::HeldBy(int number)
{
    const std::string devnode = DeviceOf(number);
    return devnode.empty() ? std::string() : DescribeHolders(devnode);
}

}  // namespace platform
