#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "link/frame_codec.h"
#include "platform/backends.h"
#include "platform/memory_wire.h"

// What the fuzz targets share: choices read off the front of an input,
// framing that gets random payloads past the CRC check, and one host port on
// an in-memory wire whose far end answers with the input.
namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// A broken invariant is a finding, like a crash.
#define FUZZ_CHECK(condition) \
    ((condition) ? void() : (std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition), std::abort()))

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_end(data + size) {}

    // The next byte; 0 once the input is used up.
    std::uint8_t Byte() { return m_data == m_end ? 0 : *m_data++; }
    Bytes Rest() { return Bytes(std::exchange(m_data, m_end), m_end); }

private:
    const std::uint8_t* m_data;
    const std::uint8_t* m_end;
};

// One frame as a device sends it: payload, CRC, escaping, closing flag and,
// when asked, an opening flag.
inline Bytes Frame(const Bytes& payload, bool leadingFlag)
{
    Bytes withCrc = payload;
    withCrc.resize(payload.size() + 2);
    frame::AppendCrc(withCrc.data(), payload.size());
    Bytes out;
    if (leadingFlag) out.push_back(frame::kFlag);
    frame::AppendEscaped(withCrc.data(), withCrc.size(), out);
    out.push_back(frame::kFlag);
    return out;
}

// Each stretch of `text` between 0x7E bytes, unescaped: the payloads that
// FrameEach sends.
inline std::vector<Bytes> Payloads(const Bytes& text)
{
    std::vector<Bytes> payloads(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == frame::kFlag) {
            payloads.emplace_back();
        } else if (text[i] != frame::kEscape) {
            payloads.back().push_back(text[i]);
        } else if (i + 1 < text.size() && text[i + 1] != frame::kFlag) {
            payloads.back().push_back(static_cast<std::uint8_t>(text[++i] ^ frame::kEscapeXor));
        }
    }
    return payloads;
}

// One frame per payload of `text`; random text would almost never carry a
// correct CRC.
inline Bytes FrameEach(const Bytes& text, bool leadingFlag)
{
    Bytes out;
    for (const Bytes& payload : Payloads(text)) {
        const Bytes framed = Frame(payload, leadingFlag);
        out.insert(out.end(), framed.begin(), framed.end());
    }
    return out;
}

// How the device's bytes reach the host, from one input byte:
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
    Bytes Encode(const Bytes& text) const { return framed ? FrameEach(text, leadingFlag) : text; }

    bool framed;
    bool leadingFlag;
    std::uint32_t gapMs;
    std::size_t pieceSize;
};

// Port kPort on the virtual clock, whose far end answers the host's writes
// with `replies` (at least one) in turn, the last one again once they run
// out. Declare the host object that opens the port after it, so that the
// port closes first.
class Line final : public platform::IWireDevice {
public:
    static constexpr int kPort = 7;

    Line(std::vector<Bytes> replies, const Delivery& delivery) : m_replies(std::move(replies)), m_delivery(delivery)
    {
        wire->Attach(this);
        ports.Add(kPort, wire);
    }

    void OnHostBytes(platform::MemoryWire&, const std::uint8_t*, std::size_t) override { Send(); }

    // Sends the next reply as the device would, piece by piece.
    void Send()
    {
        const Bytes& reply = m_replies[std::min(m_sent++, m_replies.size() - 1)];
        const std::size_t step = m_delivery.pieceSize ? m_delivery.pieceSize : reply.size();
        std::uint32_t delay = 0;
        for (std::size_t at = 0; at < reply.size(); at += step, delay += m_delivery.gapMs) {
            const auto begin = reply.begin() + static_cast<std::ptrdiff_t>(at);
            wire->SendToHost(Bytes(begin, begin + static_cast<std::ptrdiff_t>(std::min(step, reply.size() - at))), delay);
        }
    }

    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    platform::MemorySerialPorts ports;
    std::shared_ptr<platform::MemoryWire> wire = std::make_shared<platform::MemoryWire>();

private:
    std::vector<Bytes> m_replies;
    Delivery m_delivery;
    std::size_t m_sent = 0;
};

}  // namespace fuzz
