#include "hopcycle/device_tree_win32.h"

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>

namespace hopcycle {

namespace {

constexpr DWORD kIdChars = 200;
constexpr DWORD kNameChars = 260;
// GUID_DEVINTERFACE_VOLUME
constexpr GUID kVolumeInterface{0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// A list of zero-terminated texts that ends with an empty one or with the
// buffer.
std::vector<std::string> SplitList(const std::vector<char>& list)
{
    std::vector<std::string> items;
    auto it = list.begin();
    while (it != list.end() && *it != '\0') {
        const auto end = std::find(it, list.end(), '\0');
        items.emplace_back(it, end);
        it = end == list.end() ? end : end + 1;
    }
    return items;
}

// The Configuration Manager takes device ids as writable texts.
std::vector<char> WritableText(const std::string& text)
{
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return copy;
}

std::vector<Device> Members(HDEVINFO set)
{
    std::vector<Device> devices;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index) {
        char id[kIdChars] = {};
        const bool read = SetupDiGetDeviceInstanceIdA(set, &data, id, kIdChars, nullptr);
        devices.push_back({data.DevInst, read ? std::optional<std::string>(id) : std::nullopt});
    }
    return devices;
}

class Win32DeviceSet final : public IDeviceSet {
public:
    explicit Win32DeviceSet(HDEVINFO set) : m_set(set) {}
    ~Win32DeviceSet() override { SetupDiDestroyDeviceInfoList(m_set); }
    Win32DeviceSet(const Win32DeviceSet&) = delete;
    Win32DeviceSet& operator=(const Win32DeviceSet&) = delete;

    std::optional<DevNode> Open(const std::string& instanceId) override
    {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiOpenDeviceInfoA(m_set, instanceId.c_str(), nullptr, 0, &data)) return std::nullopt;
        return data.DevInst;
    }

    std::vector<Device> Members() override { return hopcycle::Members(m_set); }

private:
    HDEVINFO m_set;
};

using VolumeNameQuery = BOOL(WINAPI*)(LPCSTR, LPSTR, DWORD);

class Win32VolumeNames final : public IVolumeNames {
public:
    Win32VolumeNames(HMODULE module, VolumeNameQuery query) : m_module(module), m_query(query) {}
    ~Win32VolumeNames() override { FreeLibrary(m_module); }
    Win32VolumeNames(const Win32VolumeNames&) = delete;
    Win32VolumeNames& operator=(const Win32VolumeNames&) = delete;

    std::optional<std::string> VolumeName(const std::string& mountPoint) override
    {
        char name[kNameChars] = {};
        if (!m_query(mountPoint.c_str(), name, kNameChars)) return std::nullopt;
        name[kNameChars - 1] = '\0';
        return std::string(name);
    }

private:
    HMODULE m_module;
    VolumeNameQuery m_query;
};

}  // namespace

std::vector<Device> Win32DeviceTree::PresentDevices()
{
    const HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (all == INVALID_HANDLE_VALUE) return {};
    std::vector<Device> devices = Members(all);
    SetupDiDestroyDeviceInfoList(all);
    return devices;
}

std::unique_ptr<IDeviceSet> Win32DeviceTree::CreateDeviceSet()
{
    const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32DeviceSet>(set);
}

std::optional<std::string> Win32DeviceTree::NodeId(DevNode node)
{
    // One character kept back: an id that fills the buffer exactly comes
    // without its terminator.
    char id[kIdChars] = {};
    if (CM_Get_Device_ID_ExA(node, id, kIdChars - 1, 0, nullptr) != CR_SUCCESS) return std::nullopt;
    return std::string(id);
}

std::optional<DevNode> Win32DeviceTree::FirstChild(DevNode node)
{
    DEVINST child = 0;
    if (CM_Get_Child(&child, node, 0) != CR_SUCCESS) return std::nullopt;
    return child;
}

std::optional<DevNode> Win32DeviceTree::NextSibling(DevNode node)
{
    DEVINST sibling = 0;
    if (CM_Get_Sibling(&sibling, node, 0) != CR_SUCCESS) return std::nullopt;
    return sibling;
}

std::optional<std::vector<std::string>> Win32DeviceTree::VolumeInterfaces(const std::string& instanceId)
{
    std::vector<char> device = WritableText(instanceId);
    GUID volume = kVolumeInterface;
    ULONG size = 0;
    if (CM_Get_Device_Interface_List_SizeA(&size, &volume, device.data(), CM_GET_DEVICE_INTERFACE_LIST_PRESENT) !=
            CR_SUCCESS ||
        size == 0) {
        return std::nullopt;
    }
    std::vector<char> list(size, '\0');
    if (CM_Get_Device_Interface_List_ExA(&volume, device.data(), list.data(), size,
                                         CM_GET_DEVICE_INTERFACE_LIST_PRESENT, nullptr) != CR_SUCCESS) {
        return std::vector<std::string>{};
    }
    return SplitList(list);
}

std::vector<std::string> Win32DeviceTree::RemovalRelations(const std::string& instanceId)
{
    ULONG size = 0;
    if (CM_Get_Device_ID_List_SizeA(&size, instanceId.c_str(), CM_GETIDLIST_FILTER_REMOVALRELATIONS) != CR_SUCCESS ||
        size == 0) {
        return {};
    }
    std::vector<char> list(size, '\0');
    if (CM_Get_Device_ID_ListA(instanceId.c_str(), list.data(), size, CM_GETIDLIST_FILTER_REMOVALRELATIONS) !=
        CR_SUCCESS) {
        return {};
    }
    return SplitList(list);
}

std::optional<DevNode> Win32DeviceTree::Locate(const std::string& instanceId)
{
    std::vector<char> device = WritableText(instanceId);
    DEVINST node = 0;
    if (CM_Locate_DevNodeA(&node, device.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return std::nullopt;
    return node;
}

std::unique_ptr<IVolumeNames> Win32DeviceTree::LoadVolumeNames()
{
    const HMODULE kernel = LoadLibraryA("kernel32.dll");
    if (!kernel) return nullptr;
    const FARPROC entry = GetProcAddress(kernel, "GetVolumeNameForVolumeMountPointA");
    if (!entry) {
        FreeLibrary(kernel);
        return nullptr;
    }
    // FARPROC stands for any entry point; this one has the query's type.
    return std::make_unique<Win32VolumeNames>(kernel, reinterpret_cast<VolumeNameQuery>(reinterpret_cast<void*>(entry)));
}

std::optional<DriveHandle> Win32DeviceTree::OpenDrive(const std::string& path)
{
    const HANDLE drive = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (drive == INVALID_HANDLE_VALUE) return std::nullopt;
    return reinterpret_cast<DriveHandle>(drive);
}

void Win32DeviceTree::Control(DriveHandle drive, std::uint32_t code, std::span<std::uint8_t> inOut)
{
    DWORD returned = 0;
    const auto size = static_cast<DWORD>(inOut.size());
    DeviceIoControl(reinterpret_cast<HANDLE>(drive), code, inOut.data(), size, inOut.data(), size, &returned, nullptr);
}

void Win32DeviceTree::Close(DriveHandle drive)
{
    CloseHandle(reinterpret_cast<HANDLE>(drive));
}

void Win32DeviceTree::Debug(const char* text)
{
    OutputDebugStringA(text);
}

}  // namespace hopcycle
