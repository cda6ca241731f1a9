#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <ntddscsi.h>

#include <cstddef>

#include "hopcycle/device_tree.h"
#include "hopcycle/scsi_request.h"

namespace hopcycle {

// This build's layout of the SDK's direct pass-through structure.
inline constexpr PassThroughLayout kSdkLayout{
    offsetof(SCSI_PASS_THROUGH_DIRECT, Length),
    offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus),
    offsetof(SCSI_PASS_THROUGH_DIRECT, PathId),
    offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId),
    offsetof(SCSI_PASS_THROUGH_DIRECT, Lun),
    offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength),
    offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength),
    offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn),
    offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength),
    offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue),
    offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer),
    offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset),
    offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb),
    sizeof(SCSI_PASS_THROUGH_DIRECT),
};
#ifndef _WIN64
// The shipped 32-bit library sends exactly the request its tests pin.
static_assert(kSdkLayout == kLayout32, "the SDK's SCSI_PASS_THROUGH_DIRECT is not the 32-bit layout");
#endif
static_assert(kSdkLayout.cdb + sizeof(SCSI_PASS_THROUGH_DIRECT::Cdb) <= kRequestSize);
static_assert(SenseOffset(kSdkLayout) + kSenseSize <= kRequestSize);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == kIoctlScsiPassThroughDirect);

// Setup API, Configuration Manager and kernel calls of the local machine.
class Win32DeviceTree final : public IDeviceTree {
public:
    std::vector<Device> PresentDevices() override;
    std::unique_ptr<IDeviceSet> CreateDeviceSet() override;
    std::optional<std::string> NodeId(DevNode node) override;
    std::optional<DevNode> FirstChild(DevNode node) override;
    std::optional<DevNode> NextSibling(DevNode node) override;
    std::optional<std::vector<std::string>> VolumeInterfaces(const std::string& instanceId) override;
    std::vector<std::string> RemovalRelations(const std::string& instanceId) override;
    std::optional<DevNode> Locate(const std::string& instanceId) override;
    std::unique_ptr<IVolumeNames> LoadVolumeNames() override;
    std::optional<DriveHandle> OpenDrive(const std::string& path) override;
    void Control(DriveHandle drive, std::uint32_t code, std::span<std::uint8_t> inOut) override;
    void Close(DriveHandle drive) override;
    void Debug(const char* text) override;
};

}  // namespace hopcycle
