#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "diag/diag_commands.h"

// Reading and writing the modem's numbered non-volatile items (calibration,
// identity and settings), 128 bytes each.
namespace diag {

// The status the device returns for an NV request.
enum NvStatus : std::uint16_t {
    NV_DONE_S = 0,
    NV_BUSY_S = 1,
    NV_BADCMD_S = 2,
    NV_FULL_S = 3,
    NV_FAIL_S = 4,
    NV_NOTACTIVE_S = 5,
    NV_BADPARM_S = 6,
    NV_READONLY_S = 7,
    NV_BADTG_S = 8,
    NV_NOMEM_S = 9,
    NV_NOTALLOC_S = 10,
    // No valid reply was obtained.
    NV_RWOPFAILED_S = 0xFFFF,
};

// The text naming a device status in failure messages; empty for values
// without one.
std::string_view NvStatusText(std::uint16_t status);

// Reads item `item` into `data`. On failure `data` is cleared and `status` is
// the device's status, or NV_RWOPFAILED_S when no valid reply came.
bool NvRead(CPhoneProtocol& protocol, std::uint16_t item, std::span<std::uint8_t, kNvDataSize> data,
            std::uint16_t& status);
// Writes `data` to item `item`; `status` as for NvRead.
bool NvWrite(CPhoneProtocol& protocol, std::uint16_t item, std::span<const std::uint8_t, kNvDataSize> data,
             std::uint16_t& status);

}  // namespace diag
