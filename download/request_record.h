#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "link/phone_protocol.h"

// Small helpers shared by the download protocols: fields of the request
// record (little-endian there, whatever the wire order) and the wrapping of a
// failure reason into an operation's sentence.
namespace download::record {

inline void Store(CPhoneProtocol& protocol, std::size_t offset, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) protocol.params[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t Load(const CPhoneProtocol& protocol, std::size_t offset, int bytes)
{
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint32_t>(protocol.params[offset + i]) << (8 * i);
    return value;
}

inline void AppendMsbFirst(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Puts `sentence` with the current reason in place of its "%s" into the
// scratch string and makes that the new last error text. Always false, so a
// failing operation can end with it.
inline bool FailWith(CPhoneProtocol& protocol, const char* sentence)
{
    protocol.scratch = sentence;
    const std::size_t at = protocol.scratch.find("%s");
    if (at != std::string::npos) protocol.scratch.replace(at, 2, protocol.lastError);
    protocol.lastError = protocol.scratch;
    return false;
}

}  // namespace download::record
