#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/backends.h"
#include "platform/memory_wire.h"

using Bytes = std::vector<std::uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A device that answers each host write with the next scripted reply; an
// empty script, or an empty reply, is silence.
class ScriptedDevice : public platform::IWireDevice {
public:
    struct Reply {
        Bytes bytes;
        std::uint32_t delayMs = 0;
    };

    void Then(Bytes bytes, std::uint32_t delayMs = 0) { m_replies.push_back({std::move(bytes), delayMs}); }
    void ThenSilence() { m_replies.push_back({}); }

    void OnHostBytes(platform::MemoryWire& wire, const std::uint8_t*, std::size_t) override
    {
        if (m_replies.empty()) return;
        Reply reply = std::move(m_replies.front());
        m_replies.pop_front();
        wire.SendToHost(reply.bytes, reply.delayMs);
    }

private:
    std::deque<Reply> m_replies;
};

// The virtual clock and one in-memory port, number kPort, with a scripted
// device on its far end.
class WireTest : public ::testing::Test {
protected:
    static constexpr int kPort = 12;

    WireTest()
    {
        wire->Attach(&device);
        ports.Add(kPort, wire);
    }

    std::uint32_t Elapsed() { return clock.TickCount(); }

    platform::VirtualClock clock;
    platform::MemorySerialPorts ports;
    std::shared_ptr<platform::MemoryWire> wire = std::make_shared<platform::MemoryWire>(clock);
    ScriptedDevice device;
};
