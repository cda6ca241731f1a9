#pragma once

#include <array>
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

// Raised when an NV reply ends before its status: its data cannot be trusted.
inline constexpr const char* kNvReplyIncomplete = "the Received NV Item Data is Incomplete";

// The fields of an NV reply, which echo the request's layout.
struct NvReply {
    std::uint16_t item = 0;
    std::array<std::uint8_t, kNvDataSize> data{};
    std::uint16_t status = 0;
};

// Appends the payload of an NV read (`kNvReadCommand`) or write
// (`kNvWriteCommand`): item, the data, a zero status.
void BuildNvRequest(Bytes& out, std::uint8_t command, std::uint16_t item, std::span<const std::uint8_t, kNvDataSize> data);
// The reply's fields; `kNvReplyIncomplete` when it ends before its status.
Result<NvReply> ParseNvReply(std::span<const std::uint8_t> reply);

// The text naming a device status in failure messages; empty for values
// without one.
std::string_view NvStatusText(std::uint16_t status);

// Reads item `item` into `data`. On failure `data` is cleared and `status` is
// the device's status, or NV_RWOPFAILED_S when no valid reply came.
StepResult NvRead(CPhoneProtocol& protocol, std::uint16_t item, std::span<std::uint8_t, kNvDataSize> data,
                  std::uint16_t& status);
// Writes `data` to item `item`; `status` as for NvRead.
StepResult NvWrite(CPhoneProtocol& protocol, std::uint16_t item, std::span<const std::uint8_t, kNvDataSize> data,
                   std::uint16_t& status);

}  // namespace diag
