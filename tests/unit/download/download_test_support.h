#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>

#include "link/frame_codec.h"
#include "link/phone_protocol.h"
#include "test_files.h"
#include "wire_fixture.h"

// A reply frame as the device sends it: framed as a request is.
inline Bytes DeviceFrame(const Bytes& payload) { return FrameRequest(ProtocolMode::Streaming, payload); }

// The payload a request builder appends.
inline Bytes Payload(const std::function<void(Bytes&)>& build)
{
    Bytes out;
    build(out);
    return out;
}

// A fresh protocol object on an open in-memory port, on the virtual clock.
class DownloadTest : public WireTest {
protected:
    DownloadTest()
    {
        protocol.failureLogPath = (folder / "ByteLog.txt").string();
        EXPECT_TRUE(protocol.port.Open(kPort, 115200, 8, 1));
    }

    std::size_t WriteCount() const { return wire->HostWrites().size(); }
    // The payload of the host's last frame; empty unless both flags and its CRC are right.
    Bytes LastPayload() const
    {
        const auto writes = wire->HostWrites();
        if (writes.empty() || writes.back().front() != 0x7E) return {};
        return UnframeReply(ProtocolMode::Streaming, writes.back()).value.value_or(Bytes{});
    }

    // A request to a silent device: how often it is sent, how long each try
    // waits and the sentence its failure gets.
    struct Silent {
        std::function<bool()> call;
        unsigned attempts;
        std::uint32_t timeoutMs;
        std::string sentence;
    };
    void ExpectEachFailsSilently(std::initializer_list<Silent> cases)
    {
        for (const Silent& c : cases) {
            SCOPED_TRACE(c.sentence);
            const std::uint32_t start = Elapsed();
            const std::size_t writes = WriteCount();
            EXPECT_FALSE(c.call());
            EXPECT_EQ(WriteCount() - writes, c.attempts);
            // Polling runs in 10 ms cycles until more than the time-out has passed.
            EXPECT_EQ(Elapsed() - start, c.attempts * (c.timeoutMs + 10));
            EXPECT_EQ(protocol.LastError(), c.sentence + CPhoneProtocol::kNoReply);
        }
    }

    TempFolder folder{"download-bytelog"};
    CPhoneProtocol protocol{clock, ports};
};
