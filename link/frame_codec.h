#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The byte-level frame codec shared by the host and the simulated modem:
// CRC-16/X-25 and the 0x7E/0x7D escaping. Frame assembly (which flags a mode
// sends) belongs to each side.
namespace frame {

inline constexpr std::uint8_t kFlag = 0x7E;
inline constexpr std::uint8_t kEscape = 0x7D;
inline constexpr std::uint8_t kEscapeXor = 0x20;

// The complemented CRC of `length` bytes, as it is sent (low byte first).
std::uint16_t Crc16(const std::uint8_t* data, std::size_t length);

// One run of the table-driven CRC step over `length` bytes from register
// value `crc`, without the final complement; lets a caller checksum data in
// chunks or from another start value.
std::uint16_t CrcUpdate(std::uint16_t crc, const std::uint8_t* data, std::size_t length);

// Writes the CRC of buffer[0, length) behind it, low byte first; returns
// length + 2. The buffer must have room for the two bytes.
std::size_t AppendCrc(std::uint8_t* buffer, std::size_t length);

// True when `length` bytes are a payload followed by its own two CRC bytes.
[[nodiscard]] bool CheckCrc(const std::uint8_t* buffer, std::size_t length);

// The checksum of a raw high-speed block: the sum modulo 2^32 of the bytes
// as little-endian 32-bit words, a last partial word padded with zero bytes.
std::uint32_t BlockChecksum(const std::uint8_t* data, std::size_t length);

// Appends `length` bytes to `out` with every 0x7E and 0x7D escaped.
void AppendEscaped(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out);

// Undoes the escaping of `length` bytes into `out`. An escape byte at the very
// end, with nothing behind it, is dropped.
void AppendUnescaped(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out);

}  // namespace frame
