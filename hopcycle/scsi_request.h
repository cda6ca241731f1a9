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
inline constexpr std::size_t kSenseSize = 24;
inline constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
using Request = std::array<std::uint8_t, kRequestSize>;

// Where the 24-byte sense area starts: right after the structure, on an
// 8-byte boundary (48 in a 32-bit process, 56 in a 64-bit one, so that it
// never overlaps the command block).
constexpr std::size_t SenseOffset(const PassThroughLayout& layout) { return (layout.size + 7) / 8 * 8; }

// The command that makes the modem leave its CD-ROM mode and re-enumerate:
// no data, the sense area after the structure, little-endian. The same
// buffer receives the driver's answer.
Request BuildReplugRequest(const PassThroughLayout& layout);

}  // namespace hopcycle
