#include "hopcycle/replug.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace hopcycle;

constexpr const char* kPrefix = "USB\\Vid_3E1F&Pid_2000";

// The request in the 32-bit layout; every byte not written here is 0.
constexpr Request kRequest32{
    44, 0, 0, 0, 1, 0, 10, 24, 1, 0, 0, 0,            // Length, ScsiStatus, PathId, TargetId, Lun, lengths, DataIn
    0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0,  // DataTransferLength, TimeOutValue, DataBuffer, SenseInfoOffset
    0x85, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0,  // Cdb
};

struct Node {
    std::optional<std::string> id;
    std::vector<DevNode> children;
    // A list that can be read but holds no path, unless told otherwise.
    std::optional<std::vector<std::string>> volumes = std::vector<std::string>{};
    std::vector<std::string> removalRelations;
};

// An in-memory device tree whose nodes are all present, numbered from 1 in
// the order added. Debug texts, I/O controls and closes go to one log.
class FakeTree final : public IDeviceTree {
public:
    DevNode Add(std::optional<std::string> id, DevNode parent = 0)
    {
        m_nodes.emplace_back().id = std::move(id);
        const auto node = static_cast<DevNode>(m_nodes.size());
        if (parent) At(parent).children.push_back(node);
        return node;
    }
    Node& At(DevNode node) { return m_nodes.at(node - 1); }
    // A volume interface of `node` whose volume has a drive letter for each
    // of `letters`.
    void Mount(DevNode node, const std::string& path, const std::string& volume, const std::string& letters)
    {
        At(node).volumes->push_back(path);
        m_volumeNames[path.back() == '\\' ? path : path + '\\'] = volume;
        for (const char letter : letters) m_volumeNames[std::string{letter, ':', '\\'}] = volume;
    }
    void Clear() { m_nodes.clear(); }

    std::set<std::string> failingDrives;
    std::vector<std::string> log;
    std::vector<Request> requests;

    std::vector<Device> PresentDevices() override
    {
        std::vector<Device> devices;
        for (DevNode node = 1; node <= m_nodes.size(); ++node) devices.push_back({node, At(node).id});
        return devices;
    }
    std::unique_ptr<IDeviceSet> CreateDeviceSet() override { return std::make_unique<Set>(*this); }
    std::optional<std::string> NodeId(DevNode node) override { return At(node).id; }
    std::optional<DevNode> FirstChild(DevNode node) override
    {
        const auto& children = At(node).children;
        return children.empty() ? std::nullopt : std::optional(children.front());
    }
    std::optional<DevNode> NextSibling(DevNode node) override
    {
        for (const Node& parent : m_nodes) {
            for (std::size_t i = 0; i + 1 < parent.children.size(); ++i) {
                if (parent.children[i] == node) return parent.children[i + 1];
            }
        }
        return std::nullopt;
    }
    std::optional<std::vector<std::string>> VolumeInterfaces(const std::string& id) override
    {
        return At(*Locate(id)).volumes;
    }
    std::vector<std::string> RemovalRelations(const std::string& id) override
    {
        return At(*Locate(id)).removalRelations;
    }
    std::optional<DevNode> Locate(const std::string& id) override
    {
        for (DevNode node = 1; node <= m_nodes.size(); ++node) {
            if (At(node).id == id) return node;
        }
        return std::nullopt;
    }
    std::unique_ptr<IVolumeNames> LoadVolumeNames() override { return std::make_unique<Names>(m_volumeNames); }
    std::optional<DriveHandle> OpenDrive(const std::string& path) override
    {
        if (failingDrives.count(path)) return std::nullopt;
        m_open.push_back(path);
        return m_open.size() - 1;
    }
    void Control(DriveHandle drive, std::uint32_t code, std::span<std::uint8_t> inOut) override
    {
        char text[64];
        std::snprintf(text, sizeof text, "ioctl %s 0x%X %zu", m_open.at(drive).c_str(), code, inOut.size());
        log.push_back(text);
        if (inOut.size() == kRequestSize) std::copy(inOut.begin(), inOut.end(), requests.emplace_back().begin());
    }
    void Close(DriveHandle drive) override { log.push_back("close " + m_open.at(drive)); }
    void Debug(const char* text) override { log.push_back(text); }

private:
    class Set final : public IDeviceSet {
    public:
        explicit Set(FakeTree& tree) : m_tree(tree) {}
        std::optional<DevNode> Open(const std::string& id) override
        {
            const auto node = m_tree.Locate(id);
            if (node) m_members.push_back({*node, id});
            return node;
        }
        std::vector<Device> Members() override { return m_members; }

    private:
        FakeTree& m_tree;
        std::vector<Device> m_members;
    };
    class Names final : public IVolumeNames {
    public:
        explicit Names(const std::map<std::string, std::string>& names) : m_names(names) {}
        std::optional<std::string> VolumeName(const std::string& mountPoint) override
        {
            const auto it = m_names.find(mountPoint);
            return it == m_names.end() ? std::nullopt : std::optional(it->second);
        }

    private:
        const std::map<std::string, std::string>& m_names;
    };

    std::vector<Node> m_nodes;
    std::map<std::string, std::string> m_volumeNames;
    std::vector<std::string> m_open;
};

// The drive letters that were sent a request, in order.
std::string Ioctls(const std::vector<std::string>& log)
{
    std::string letters;
    for (const auto& line : log) {
        if (line.starts_with("ioctl \\\\.\\")) letters += line[10];
    }
    return letters;
}

TEST(ReplugRequest, IsTheThirtyTwoBitLayoutByteForByte)
{
    EXPECT_EQ(BuildReplugRequest(kLayout32), kRequest32);
}

TEST(Replug, OnlyTheFirstTwentyOneCharactersOfAUsbIdAreComparedInAnyCase)
{
    for (const auto& [id, found] : {std::tuple{"USB\\VID_3E1F&PID_2000\\0123456789", 1},
                                    {"USB\\VID_3E1F&PID_2000&MI_00\\6&2A&0&0000", 1},
                                    {"usb\\vid_3e1f&pid_2000", 1},
                                    {"USB\\VID_3E1F&PID_200", 0},
                                    {"USB\\VID_3E1F&PID_2001\\0123456789", 0},
                                    {"USBSTOR\\VID_3E1F&PID_2000", 0}}) {
        FakeTree tree;
        const DevNode cdrom = tree.Add("USBSTOR\\CDROM&VEN_NL\\7&1", tree.Add(id));
        tree.Mount(cdrom, "\\\\?\\USBSTOR#CdRom#1", "\\\\?\\Volume{1}\\", "E");
        EXPECT_EQ(Replug(tree, kLayout32).Hopcycle(kPrefix), found) << id;
        EXPECT_EQ(Ioctls(tree.log), found ? "E" : "") << id;
    }
}

TEST(Replug, SendsOneRequestPerLetterOfTheTargetInWalkOrder)
{
    FakeTree tree;
    const DevNode modem = tree.Add("USB\\VID_3E1F&PID_2000\\0123456789");
    const DevNode storage = tree.Add("USB\\VID_3E1F&PID_2000&MI_00\\6&2A", modem);
    tree.Mount(tree.Add("USBSTOR\\CDROM&VEN_NL\\7&1", storage), "\\\\?\\USBSTOR#CdRom#1", "\\\\?\\Volume{1}\\", "F");
    // The disk's volume is reached through its removal relations; it has two
    // letters and a volume path that already ends with a backslash.
    const DevNode disk = tree.Add("USBSTOR\\DISK&VEN_NL\\7&2", storage);
    const DevNode volumes = tree.Add("ROOT\\VOLMGR\\0000");
    tree.Mount(tree.Add("STORAGE\\VOLUME\\2", volumes), "\\\\?\\Volume{2}\\", "\\\\?\\Volume{2}\\", "GD");
    tree.At(disk).removalRelations = {"STORAGE\\VOLUME\\2"};
    // Mounted only in a folder: no letter.
    tree.Mount(tree.Add("USBSTOR\\DISK&VEN_NL\\7&3", storage), "\\\\?\\STORAGE#Volume#3", "\\\\?\\Volume{3}\\", "");
    // Another USB device's volume, met after the modem's.
    const DevNode stick = tree.Add("USB\\VID_0781&PID_5567\\4C53", 0);
    tree.Mount(tree.Add("USBSTOR\\DISK&VEN_SD\\8&1", stick), "\\\\?\\STORAGE#Volume#4", "\\\\?\\Volume{4}\\", "H");

    EXPECT_EQ(Replug(tree, kLayout32).Hopcycle(kPrefix), 1);
    EXPECT_EQ(Ioctls(tree.log), "FDG");
    EXPECT_EQ(tree.log.back(), "close \\\\.\\G:");
    ASSERT_EQ(tree.requests.size(), 3u);
    for (const Request& request : tree.requests) EXPECT_EQ(request, kRequest32);
}

TEST(Replug, ADriveThatCannotBeOpenedIsSkipped)
{
    FakeTree tree;
    const DevNode modem = tree.Add("USB\\VID_3E1F&PID_2000\\0123456789");
    tree.Mount(tree.Add("USBSTOR\\CDROM&VEN_NL\\7&1", modem), "\\\\?\\USBSTOR#CdRom#1", "\\\\?\\Volume{1}\\", "EF");
    tree.failingDrives = {"\\\\.\\E:"};
    EXPECT_EQ(Replug(tree, kLayout32).Hopcycle(kPrefix), 1);
    EXPECT_EQ(tree.log, (std::vector<std::string>{"ID found !!!", "Nollex CDROM found !", "\\\\.\\E:", "CreateFile error !",
                                                  "\\\\.\\F:", "ioctl \\\\.\\F: 0x4D014 80", "close \\\\.\\F:"}));
}

TEST(Replug, ADeviceSeenBeforeButGoneNowFindsNothing)
{
    FakeTree tree;
    const DevNode modem = tree.Add("USB\\VID_3E1F&PID_2000\\0123456789");
    tree.Mount(tree.Add("USBSTOR\\CDROM&VEN_NL\\7&1", modem), "\\\\?\\USBSTOR#CdRom#1", "\\\\?\\Volume{1}\\", "E");
    Replug replug(tree, kLayout32);
    ASSERT_EQ(replug.Hopcycle(kPrefix), 1);
    tree.Clear();
    tree.log.clear();
    EXPECT_EQ(replug.Hopcycle(kPrefix), 0);
    EXPECT_EQ(tree.log, std::vector<std::string>{"No Nollex CDROM found !"});
}

TEST(Replug, RemovalRelationsThatLeadBackAreNotFollowedAgain)
{
    FakeTree tree;
    const DevNode modem = tree.Add("USB\\VID_3E1F&PID_2000\\0123456789");
    const DevNode volume = tree.Add("STORAGE\\VOLUME\\1");
    tree.Mount(volume, "\\\\?\\STORAGE#Volume#1", "\\\\?\\Volume{1}\\", "E");
    tree.At(modem).removalRelations = {"STORAGE\\VOLUME\\1"};
    tree.At(volume).removalRelations = {"USB\\VID_3E1F&PID_2000\\0123456789"};
    EXPECT_EQ(Replug(tree, kLayout32).Hopcycle(kPrefix), 1);
    EXPECT_EQ(Ioctls(tree.log), "E");
}

#ifdef _WIN32
// The built library, through its export, on a machine without the modem.
TEST(HopcycleDll, ExportFindsNoModemHere)
{
    const HMODULE library = LoadLibraryA(HOPCYCLE_DLL);
    ASSERT_TRUE(library) << HOPCYCLE_DLL;
    using Export = int(__stdcall*)(const char*);
    const auto hopcycle = reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(library, "Hopcycle")));
    ASSERT_TRUE(hopcycle);
    EXPECT_EQ(hopcycle(kPrefix), 0);
    FreeLibrary(library);
}
#endif

}  // namespace
