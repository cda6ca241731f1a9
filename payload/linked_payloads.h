#pragma once

#include <cstdint>
#include <span>

namespace payload {

// One payload file linked into the program (Linux builds).
struct LinkedPayload {
    int id;
    const std::uint8_t* begin;
    const std::uint8_t* end;
};

// Every linked payload; the build generates the definition beside the bytes.
extern const std::span<const LinkedPayload> kLinkedPayloads;

}  // namespace payload
