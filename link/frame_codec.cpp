#include "link/frame_codec.h"

#include <algorithm>
#include <array>

namespace frame {
namespace {

constexpr std::array<std::uint16_t, 256> MakeCrcTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : static_cast<std::uint16_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();
constexpr std::uint16_t kCrcGood = 0xF0B8;

// Resizes to `size`, doubling the capacity when it must grow so that many
// small appends to one buffer stay linear.
void Grow(std::vector<std::uint8_t>& out, std::size_t size)
{
    if (size > out.capacity()) out.reserve(std::max(size, 2 * out.capacity()));
    out.resize(size);
}

}  // namespace

std::uint16_t CrcUpdate(std::uint16_t crc, const std::uint8_t* data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) crc = static_cast<std::uint16_t>(kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    return crc;
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t length)
{
    return static_cast<std::uint16_t>(~CrcUpdate(0xFFFF, data, length));
}

std::size_t AppendCrc(std::uint8_t* buffer, std::size_t length)
{
    const std::uint16_t crc = Crc16(buffer, length);
    buffer[length] = static_cast<std::uint8_t>(crc & 0xFF);
    buffer[length + 1] = static_cast<std::uint8_t>(crc >> 8);
    return length + 2;
}

bool CheckCrc(const std::uint8_t* buffer, std::size_t length)
{
    return length >= 2 && CrcUpdate(0xFFFF, buffer, length) == kCrcGood;
}

std::uint32_t BlockChecksum(const std::uint8_t* data, std::size_t length)
{
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        sum += static_cast<std::uint32_t>(data[i]) | static_cast<std::uint32_t>(data[i + 1]) << 8 |
               static_cast<std::uint32_t>(data[i + 2]) << 16 | static_cast<std::uint32_t>(data[i + 3]) << 24;
    }
    std::uint32_t tail = 0;
    for (std::size_t shift = 0; i < length; ++i, shift += 8) tail |= static_cast<std::uint32_t>(data[i]) << shift;
    return sum + tail;
}

void AppendEscaped(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out)
{
    // Sized once: growing byte by byte reallocates several times per frame.
    std::size_t escapes = 0;
    for (std::size_t i = 0; i < length; ++i) escapes += data[i] == kFlag || data[i] == kEscape;
    if (escapes == 0) {
        out.insert(out.end(), data, data + length);
        return;
    }
    std::size_t at = out.size();
    Grow(out, at + length + escapes);
    for (std::size_t i = 0; i < length; ++i) {
        if (data[i] == kFlag || data[i] == kEscape) {
            out[at++] = kEscape;
            out[at++] = static_cast<std::uint8_t>(data[i] ^ kEscapeXor);
        } else {
            out[at++] = data[i];
        }
    }
}

void AppendUnescaped(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out)
{
    std::size_t at = out.size();
    Grow(out, at + length);
    for (std::size_t i = 0; i < length; ++i) {
        if (data[i] != kEscape) {
            out[at++] = data[i];
        } else if (i + 1 < length) {
            out[at++] = static_cast<std::uint8_t>(data[++i] ^ kEscapeXor);
        }
    }
    out.resize(at);
}

}  // namespace frame
