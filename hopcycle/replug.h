#pragma once

#include <string>
#include <vector>

#include "hopcycle/device_tree.h"
#include "hopcycle/scsi_request.h"

namespace hopcycle {

// The library's state and its one operation: find every drive letter of the
// volumes of one USB device and send each drive the re-plug command. One
// object per process; not for two threads at once.
class Replug {
public:
    Replug(IDeviceTree& tree, const PassThroughLayout& layout);

    // 1 when at least one drive of a device whose instance id starts with
    // `prefix` (21 characters, any case) was found and the command tried on
    // each; 0 otherwise.
    int Hopcycle(const char* prefix);

private:
    void Enumerate();
    void Walk(DevNode node);
    void Visit(DevNode node);
    void JudgeTarget(const std::string& instanceId);
    void CollectLetters(IVolumeNames& names, const std::vector<std::string>& paths);

    IDeviceTree& m_tree;
    PassThroughLayout m_layout;
    std::string m_prefix;
    std::vector<char> m_letters;
    bool m_inTarget = false;
    // Only ever set: once the device was met, for the life of the process.
    bool m_deviceSeen = false;
    // The USB devices of the enumeration under way; the walk does not go
    // down into one from another.
    std::vector<DevNode> m_usbDevices;
    // The nodes being walked: removal relations that lead back to one of
    // them are not followed again.
    std::vector<DevNode> m_path;
};

}  // namespace hopcycle
