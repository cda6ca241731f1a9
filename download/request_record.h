#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/phone_protocol.h"

// Small helpers shared by the download protocols: multi-byte fields in wire
// order and the wrapping of a failure reason into an operation's sentence.
namespace download::record {

inline void AppendMsbFirst(Bytes& out, std::uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void AppendLsbFirst(Bytes& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Makes `sentence`, with `reason` in place of its "%s", the failing
// operation's reason. Always false, so a failing operation can end with it.
inline bool FailWith(CPhoneProtocol& protocol, const char* sentence, std::string_view reason)
{
    std::string text = sentence;
    const std::size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, reason);
    return protocol.Fail(std::move(text));
}

}  // namespace download::record
