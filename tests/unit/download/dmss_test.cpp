#include "download/dmss.h"

#include <algorithm>

#include "download_test_support.h"

namespace {

using namespace download;

TEST(DmssBuilders, RequestsGoMostSignificantByteFirst)
{
    const Bytes data{0xAA, 0xBB, 0xCC};
    const std::pair<Bytes, Bytes> frames[] = {
        {Payload([](Bytes& out) { Dmss::BuildCommand(out, Dmss::kNop); }), {0x7E, 0x06, 0x4E, 0x95, 0x7E}},
        {Payload([&](Bytes& out) { Dmss::BuildWrite(out, 0x00800000, data); }),
         {0x7E, 0x0F, 0x00, 0x80, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0x80, 0x8E, 0x7E}},
    };
    for (const auto& [payload, frame] : frames) EXPECT_EQ(FrameRequest(ProtocolMode::Dmss, payload), frame);
}

TEST(DmssParsers, OnlyARefusalIsRefusedWithItsReason)
{
    const std::pair<Bytes, std::optional<std::string>> cases[] = {
        {{Dmss::kNak, 0x00, 0x07}, "operation did not succeed"},
        {{Dmss::kNak, 0x00, 0x0C}, "invalid security code"},
        // Reasons outside the table, or missing reason bytes, give an empty reason.
        {{Dmss::kNak, 0x01, 0x00}, ""},
        {{Dmss::kNak, 0x00}, ""},
        {{Dmss::kAck, 0x00, 0x07}, std::nullopt},
    };
    for (const auto& [reply, refusal] : cases) EXPECT_EQ(Refused(Dmss::Refusal(reply)), refusal);
}

class DmssTest : public DownloadTest {
protected:
    void Answer(const Bytes& payload, int times = 1)
    {
        for (int i = 0; i < times; ++i) device.Then(DeviceFrame(payload));
    }
    FlashInfo info{};
};

TEST_F(DmssTest, SilentDeviceCostsEveryAttemptAndEachFullTimeout)
{
    info.fill(0xAA);
    ExpectEachFailsSilently({
        {[&] { return DmssWrite(protocol, 0, nullptr, 0); }, 3, 5000, "Write a Block of Data to Memory Failed, Since "},
        {[&] { return DmssGo(protocol, 0x80, 0); }, 3, 2000, "Cannot begin execution at an address, Since "},
        {[&] { return DmssNop(protocol); }, 1, 20000, "Cannot Do No Operation, Since "},
        {[&] { return DmssReset(protocol); }, 3, 2000, "Cannot Reset the Phone, Since "},
        {[&] { return DmssGetParams(protocol, info); }, 1, 20000, "Cannot Get flash Information, Since "},
    });
    EXPECT_EQ(info, FlashInfo{});
}

TEST_F(DmssTest, ARefusalIsRetriedAndNopAndResetWantAnAcknowledgement)
{
    Answer({Dmss::kNak, 0x00, 0x07}, 3);
    EXPECT_FALSE(DmssWrite(protocol, 0x800000, nullptr, 0));
    EXPECT_EQ(WriteCount(), 3u);
    EXPECT_EQ(protocol.LastError(), "Write a Block of Data to Memory Failed, Since operation did not succeed");

    // A flash programmer's error reply is no reset of the boot downloader.
    Answer({0x0D, 0x05, 0x00, 0x00, 0x00});
    EXPECT_FALSE(DmssReset(protocol));
    Answer({Dmss::kAck});
    Answer({0x08, 0x33}, 2);
    EXPECT_TRUE(DmssReset(protocol) && DmssGo(protocol, 0x80, 0) && DmssGetParams(protocol, info));
    EXPECT_EQ(LastPayload(), Bytes{0x07});
    EXPECT_EQ(info[1], 0x33);
    EXPECT_EQ(protocol.LastError(), "");

    // Another reply than the acknowledgement has no reason to give, and no
    // earlier reason shows through.
    EXPECT_FALSE(DmssReset(protocol));
    Answer({0x08});
    EXPECT_FALSE(DmssNop(protocol));
    EXPECT_EQ(LastPayload(), Bytes{0x06});
    EXPECT_EQ(protocol.LastError(), "Cannot Do No Operation, Since ");
}

TEST_F(DmssTest, WriteTakesAtMost1031DataBytes)
{
    Bytes block(1032);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    Answer({Dmss::kAck});
    ASSERT_TRUE(DmssWrite(protocol, 0x800000, block.data(), 1031));
    const Bytes payload = LastPayload();
    ASSERT_EQ(payload.size(), 7u + 1031u);
    EXPECT_TRUE(std::equal(payload.begin() + 7, payload.end(), block.begin()));

    EXPECT_FALSE(DmssWrite(protocol, 0x800000, block.data(), 1032));
    EXPECT_EQ(WriteCount(), 1u);
    EXPECT_EQ(protocol.LastError(), "Write a Block of Data to Memory Failed, Since the Data Block is Too Large for One Request");
}

}  // namespace
