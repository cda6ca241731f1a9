#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

// Fields of request and reply payloads. Readers past the end see zeros, as
// a short request's missing bytes.
inline std::uint32_t Le32(const Bytes& p, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(at + i < p.size() ? p[at + i] : 0) << (8 * i);
    return value;
}

inline std::uint32_t Be32(const Bytes& p, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value << 8 | (at + i < p.size() ? p[at + i] : 0);
    return value;
}

inline std::uint16_t Be16(const Bytes& p, std::size_t at)
{
    return static_cast<std::uint16_t>((at < p.size() ? p[at] : 0) << 8 | (at + 1 < p.size() ? p[at + 1] : 0));
}

inline void PutLe(Bytes& out, std::uint32_t value, int bytes)
{
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(bytes));
    for (int i = 0; i < bytes; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Text in a fixed-width field, padded with zeros.
inline void PutText(Bytes& out, const std::string& text, std::size_t width)
{
    const std::size_t at = out.size();
    out.resize(at + width);
    std::copy_n(text.begin(), std::min(text.size(), width), out.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace sim
