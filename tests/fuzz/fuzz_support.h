#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <utility>
#include <vector>

#include "link/frame_codec.h"

// What the fuzz targets share: choices read off the front of an input, and
// framing that gets random payloads past the CRC check.
namespace fuzz {

using Bytes = std::vector<std::uint8_t>;
using View = std::span<const std::uint8_t>;

// Harness code, left out of the coverage: its branches (framing the input,
// checking the results) would only add features for libFuzzer to track on
// every input, without telling it anything about the code under test.
#define FUZZ_HARNESS __attribute__((no_sanitize("coverage")))

// A broken invariant is a finding, like a crash.
#define FUZZ_CHECK(condition) \
    ((condition) ? void() : (std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition), std::abort()))

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_end(data + size) {}

    // The next byte; 0 once the input is used up.
    std::uint8_t Byte() { return m_data == m_end ? 0 : *m_data++; }
    View Rest() { return View(std::exchange(m_data, m_end), m_end); }

private:
    const std::uint8_t* m_data;
    const std::uint8_t* m_end;
};

// Appends one frame as a device sends it: payload, CRC, escaping, closing
// flag and, when asked, an opening flag.
FUZZ_HARNESS inline void AppendFrame(std::span<const std::uint8_t> payload, bool leadingFlag, Bytes& out)
{
    if (leadingFlag) out.push_back(frame::kFlag);
    frame::AppendEscaped(payload.data(), payload.size(), out);
    const std::uint16_t crc = frame::Crc16(payload.data(), payload.size());
    const std::uint8_t crcBytes[] = {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)};
    frame::AppendEscaped(crcBytes, sizeof crcBytes, out);
    out.push_back(frame::kFlag);
}

FUZZ_HARNESS inline Bytes Frame(std::span<const std::uint8_t> payload, bool leadingFlag)
{
    Bytes out;
    AppendFrame(payload, leadingFlag, out);
    return out;
}

// Calls `visit` with each stretch of `text` between 0x7E bytes, unescaped:
// the payloads that FrameEach sends, until it returns false. One buffer
// serves them all, kept from input to input so that it does not cost heap
// blocks each time.
template <typename Visit>
FUZZ_HARNESS void ForEachPayload(View text, Visit visit)
{
    static Bytes payload;
    if (payload.size() < text.size()) payload.resize(text.size());
    std::size_t length = 0;
    for (auto at = text.begin();;) {
        // Plain bytes up to the next flag or escape are copied in one go.
        const auto special = std::find_if(at, text.end(), [](std::uint8_t byte) { return byte == frame::kFlag || byte == frame::kEscape; });
        std::copy(at, special, payload.begin() + static_cast<std::ptrdiff_t>(length));
        length += static_cast<std::size_t>(special - at);
        at = special;
        if (at == text.end()) {
            visit(View(payload.data(), length));
            return;
        }
        if (*at == frame::kFlag) {
            if (!visit(View(payload.data(), length))) return;
            length = 0;
            ++at;
        } else if (at + 1 != text.end() && at[1] != frame::kFlag) {
            payload[length++] = static_cast<std::uint8_t>(at[1] ^ frame::kEscapeXor);
            at += 2;
        } else {
            ++at;  // an escape before a flag or at the end escapes nothing
        }
    }
}

// One frame per payload of `text` into `out`; random text would almost never
// carry a correct CRC.
FUZZ_HARNESS inline void FrameEach(View text, bool leadingFlag, Bytes& out)
{
    out.clear();
    out.reserve(2 * text.size() + 8);
    ForEachPayload(text, [&](View payload) {
        AppendFrame(payload, leadingFlag, out);
        return true;
    });
}

// How a device's bytes are made from the input and, for the request target,
// how they reach the host, from one input byte:
//   bit 0     the rest of the input is frame text for FrameEach, else raw bytes
//   bit 1     frames carry an opening flag
//   bit 2     pieces arrive 15 ms apart (longer than the packet engine's
//             poll, which then reads a reply in part), else 4 ms
//   bits 3-7  piece size; 0 sends everything at once
struct Delivery {
    explicit Delivery(std::uint8_t choice)
        : framed(choice & 1), leadingFlag(choice & 2), gapMs(choice & 4 ? 15 : 4), pieceSize(choice >> 3)
    {
    }
    // The device's bytes: `text` itself, or its frames built in `buffer`.
    View Encode(View text, Bytes& buffer) const
    {
        if (!framed) return text;
        FrameEach(text, leadingFlag, buffer);
        return buffer;
    }
    bool Whole(std::size_t size) const { return pieceSize == 0 || pieceSize >= size; }

    bool framed;
    bool leadingFlag;
    std::uint32_t gapMs;
    std::size_t pieceSize;
};

}  // namespace fuzz
