#pragma once

#include <cstdint>
#include <span>

#include "diag/diag_commands.h"
#include "workflow/line_reporting.h"

namespace flashing {

// The check block that the upgrade sequence hands to the device: 128 bytes
// of the modem software image starting with this word at an offset that is
// a multiple of 4.
inline constexpr std::uint8_t kCheckBlockMagic[4] = {0x2C, 0x1A, 0xBE, 0x6E};

// Fills `block` from the check block of the line's modem software image; a
// match less than 128 bytes before the end copies only up to the end. False,
// with the buffer as it was, when the file cannot be opened or holds no
// match.
bool ReadCheckBlock(const LineContext& ctx, std::span<std::uint8_t, diag::kCheckBlockSize> block);

}  // namespace flashing
