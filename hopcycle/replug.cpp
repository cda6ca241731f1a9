#include "hopcycle/replug.h"

#include <algorithm>
#include <string_view>

namespace hopcycle {

namespace {

// The target test compares this many characters: vendor and product id,
// whatever follows them (an interface number, the serial number).
constexpr std::size_t kComparedLength = 21;
constexpr std::string_view kUsbDevice = "USB\\VID";

char Fold(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Both texts cut to `length` characters, then compared without regard to
// case: a shorter text must be equal as a whole.
bool EqualNoCase(std::string_view a, std::string_view b, std::size_t length)
{
    a = a.substr(0, length);
    b = b.substr(0, length);
    return std::ranges::equal(a, b, [](char x, char y) { return Fold(x) == Fold(y); });
}

bool IsUsbDevice(std::string_view instanceId)
{
    return EqualNoCase(instanceId, kUsbDevice, kUsbDevice.size());
}

bool Contains(const std::vector<DevNode>& nodes, DevNode node)
{
    return std::ranges::find(nodes, node) != nodes.end();
}

}  // namespace

Replug::Replug(IDeviceTree& tree, const PassThroughLayout& layout) : m_tree(tree), m_layout(layout) {}

int Replug::Hopcycle(const char* prefix)
{
    m_letters.clear();
    m_prefix = prefix ? prefix : "";
    Enumerate();
    // Letters are only taken below a matching device, so an empty list also
    // covers a device never seen.
    if (!m_deviceSeen || m_letters.empty()) {
        m_tree.Debug("No Nollex CDROM found !");
        return 0;
    }
    m_tree.Debug("Nollex CDROM found !");
    for (const char letter : m_letters) {
        const std::string path = std::string("\\\\.\\") + letter + ':';
        m_tree.Debug(path.c_str());
        const auto drive = m_tree.OpenDrive(path);
        if (!drive) {
            m_tree.Debug("CreateFile error !");
            continue;
        }
        // Built afresh for every drive: the driver writes its answer into it.
        Request request = BuildReplugRequest(m_layout);
        m_tree.Control(*drive, kIoctlScsiPassThroughDirect, request);
        m_tree.Close(*drive);
    }
    return 1;
}

void Replug::Enumerate()
{
    m_inTarget = false;
    const std::vector<Device> present = m_tree.PresentDevices();
    const auto usb = m_tree.CreateDeviceSet();
    if (!usb) return;
    m_usbDevices.clear();
    for (const Device& device : present) {
        if (Contains(m_usbDevices, device.node) || !device.instanceId || !IsUsbDevice(*device.instanceId)) continue;
        if (const auto node = usb->Open(*device.instanceId)) m_usbDevices.push_back(*node);
    }
    for (const Device& device : usb->Members()) {
        if (device.instanceId) Walk(device.node);
    }
    m_usbDevices.clear();
}

void Replug::Walk(DevNode node)
{
    if (Contains(m_path, node)) return;
    m_path.push_back(node);
    Visit(node);
    for (auto child = m_tree.FirstChild(node); child; child = m_tree.NextSibling(*child)) {
        if (!Contains(m_usbDevices, *child)) Walk(*child);
    }
    m_path.pop_back();
}

void Replug::Visit(DevNode node)
{
    const auto instanceId = m_tree.NodeId(node);
    if (!instanceId) return;
    if (const auto names = m_tree.LoadVolumeNames()) {
        if (const auto paths = m_tree.VolumeInterfaces(*instanceId)) {
            JudgeTarget(*instanceId);
            CollectLetters(*names, *paths);
        }
    }
    for (const std::string& related : m_tree.RemovalRelations(*instanceId)) {
        if (const auto relatedNode = m_tree.Locate(related)) Walk(*relatedNode);
    }
}

// Nodes that are not USB devices leave the flags alone: the volumes of a USB
// device's children count for the USB device met before them.
void Replug::JudgeTarget(const std::string& instanceId)
{
    if (!IsUsbDevice(instanceId)) return;
    m_inTarget = EqualNoCase(instanceId, m_prefix, kComparedLength);
    if (m_inTarget) {
        m_deviceSeen = true;
        m_tree.Debug("ID found !!!");
    }
}

void Replug::CollectLetters(IVolumeNames& names, const std::vector<std::string>& paths)
{
    for (std::string path : paths) {
        // The query wants the volume path with a closing backslash; the
        // first four characters are the "\\?\" prefix.
        if (path.find('\\', 4) == std::string::npos) path += '\\';
        const auto volume = names.VolumeName(path);
        if (!volume) return;
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            const auto mounted = names.VolumeName(std::string{letter, ':', '\\'});
            if (mounted && *mounted == *volume && m_inTarget) m_letters.push_back(letter);
        }
    }
}

}  // namespace hopcycle
