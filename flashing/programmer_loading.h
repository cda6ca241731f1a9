#pragma once

#include <cstdint>

#include "workflow/line_reporting.h"

// The flash programmer: its RAM image written into device RAM through the
// boot downloader and started there, and later a second copy of it written
// to the flash as the NAND programmer image (its header file and image).
namespace flashing {

inline constexpr std::uint32_t kRamProgrammerAddress = 0x800000;
inline constexpr std::uint32_t kRamBlockSize = 1017;
inline constexpr std::uint8_t kNandProgrammerImageType = 10;

// Writes the RAM programmer to device RAM from 0x800000 in blocks of 1017
// bytes.
// A file that cannot be opened is shown in a message box.
StepResult LoadRamProgrammer(const LineContext& ctx);
// Starts the loaded programmer and waits until it answers.
StepResult StartProgrammer(const LineContext& ctx);
// Writes the NAND programmer image; without a header file it is skipped
// and the call succeeds.
StepResult WriteNandProgrammerImage(const LineContext& ctx);

}  // namespace flashing
