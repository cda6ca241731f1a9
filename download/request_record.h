#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/phone_protocol.h"

// Small helpers shared by the download protocols: multi-byte fields in wire
// order and the texts both protocols use.
namespace download::record {

// The sentence of a failed block write, in device RAM or in flash.
inline constexpr const char* kWriteFailed = "Write a Block of Data to Memory Failed, Since %s";
// The reason a request refuses more data than it carries.
inline constexpr const char* kBlockTooLarge = "the Data Block is Too Large for One Request";

inline void AppendMsbFirst(Bytes& out, std::uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void AppendLsbFirst(Bytes& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace download::record
