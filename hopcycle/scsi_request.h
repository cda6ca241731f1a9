#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace hopcycle {

// Where the fields of the direct SCSI pass-through structure lie in one
// build, and the structure's size there.
struct PassThroughLayout {
    std::size_t length, scsiStatus, pathId, targetId, lun, cdbLength, senseInfoLength, dataIn, dataTransferLength,
        timeOutValue, dataBuffer, senseInfoOffset, cdb, size;
    friend constexpr bool operator==(const PassThroughLayout&, const PassThroughLayout&) = default;
};

// The structure as a 32-bit process sees it: the layout the shipped library
// sends.
inline constexpr PassThroughLayout kLayout32{0, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 28, 44};

inline constexpr std::size_t kRequestSize = 80;
inline constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
using Request = std::array<std::uint8_t, kRequestSize>;

// The command that makes the modem leave its CD-ROM mode and re-enumerate:
// no data, a sense area of 24 bytes at offset 48, little-endian. The same
// buffer receives the driver's answer.
Request BuildReplugRequest(const PassThroughLayout& layout);

}  // namespace hopcycle
