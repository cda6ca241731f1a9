#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>

#include "link/frame_codec.h"
#include "link/phone_protocol.h"
#include "test_files.h"
#include "wire_fixture.h"

// A reply frame as the device sends it: framed as a request is.
inline Bytes DeviceFrame(const Bytes& payload) { return FrameRequest(ProtocolMode::Streaming, payload); }

// A reply judge's verdict as the reason it refuses; nothing when it accepts.
inline std::optional<std::string> Refused(const StepResult& verdict)
{
    if (verdict) return std::nullopt;
    return verdict.Reason();
}

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
        const Result<Bytes> sent = UnframeReply(ProtocolMode::Streaming, writes.back());
        return sent ? *sent : Bytes{};
    }

    // A request to a silent device: how often it is sent, how long each try
    // waits and the sentence its failure gets.
    struct Silent {
        std::function<StepResult()> call;
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
            const StepResult result = c.call();
            EXPECT_FALSE(result);
            EXPECT_EQ(WriteCount() - writes, c.attempts);
            // Polling runs in 10 ms cycles until more than the time-out has passed.
            EXPECT_EQ(Elapsed() - start, c.attempts * (c.timeoutMs + 10));
            EXPECT_EQ(result.Reason(), c.sentence + CPhoneProtocol::kNoReply);
            EXPECT_EQ(protocol.LastError(), result.Reason());
        }
    }

    TempFolder folder{"download-bytelog"};
    CPhoneProtocol protocol{clock, ports};
};
