#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hopcycle {

// A node of the operating system's device tree, and an open drive.
using DevNode = std::uint32_t;
using DriveHandle = std::uintptr_t;

struct Device {
    DevNode node;
    // Absent when it cannot be read into 200 characters.
    std::optional<std::string> instanceId;
};

// A device information set filled by instance id; it lives for one
// enumeration.
class IDeviceSet {
public:
    virtual ~IDeviceSet() = default;
    // The node of the device added, or nothing when it cannot be opened.
    virtual std::optional<DevNode> Open(const std::string& instanceId) = 0;
    // The devices in the order they were added.
    virtual std::vector<Device> Members() = 0;
};

// The volume-name query (GetVolumeNameForVolumeMountPointA), loaded for one
// visit and released with this object.
class IVolumeNames {
public:
    virtual ~IVolumeNames() = default;
    // The volume name of a volume path or of a mount point such as "E:\";
    // nothing when the query fails.
    virtual std::optional<std::string> VolumeName(const std::string& mountPoint) = 0;
};

// What the device walk asks of the operating system.
class IDeviceTree {
public:
    virtual ~IDeviceTree() = default;

    // Every present device of every class, in enumeration order.
    virtual std::vector<Device> PresentDevices() = 0;
    // Null when no set can be made.
    virtual std::unique_ptr<IDeviceSet> CreateDeviceSet() = 0;

    // The node's instance id (200 characters).
    virtual std::optional<std::string> NodeId(DevNode node) = 0;
    virtual std::optional<DevNode> FirstChild(DevNode node) = 0;
    virtual std::optional<DevNode> NextSibling(DevNode node) = 0;
    // The paths of the device's present volume interfaces. Nothing when the
    // size of the list cannot be read or is 0; a readable list without any
    // path is empty.
    virtual std::optional<std::vector<std::string>> VolumeInterfaces(const std::string& instanceId) = 0;
    // The ids of the devices that go when this one is removed; empty when
    // they cannot be read.
    virtual std::vector<std::string> RemovalRelations(const std::string& instanceId) = 0;
    virtual std::optional<DevNode> Locate(const std::string& instanceId) = 0;
    // Null when the query cannot be loaded.
    virtual std::unique_ptr<IVolumeNames> LoadVolumeNames() = 0;

    // Opens "\\.\E:" for reading and writing, shared.
    virtual std::optional<DriveHandle> OpenDrive(const std::string& path) = 0;
    // One device I/O control with one buffer for input and output; its
    // outcome does not matter to the caller.
    virtual void Control(DriveHandle drive, std::uint32_t code, std::span<std::uint8_t> inOut) = 0;
    virtual void Close(DriveHandle drive) = 0;

    // The debugger's output.
    virtual void Debug(const char* text) = 0;
};

}  // namespace hopcycle
