#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Sends one SCSI command without data to a SCSI generic node (SG_IO) and
// waits for it at most `timeoutMs`. False with a reason when the node
// cannot be opened or the request cannot be made; the device's own status
// is not looked at.
[[nodiscard]] bool SendScsiCommand(const std::string& devnode, const std::vector<std::uint8_t>& cdb, unsigned timeoutMs,
                     std::string& error);

}  // namespace platform
