#include "download/dmss.h"

#include <algorithm>

#include "download_test_support.h"

namespace {

using namespace download;

class DmssTest : public DownloadTest {
protected:
    void Answer(const Bytes& payload, int times = 1)
    {
        for (int i = 0; i < times; ++i) device.Then(DeviceFrame(payload));
    }
    FlashInfo info{};
};

TEST_F(DmssTest, RequestsAreFramedMostSignificantByteFirst)
{
    Answer({Dmss::kAck}, 7);
    const Bytes data{0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(DmssNop(protocol));
    ASSERT_TRUE(DmssGo(protocol, 0x0080, 0x0000));
    ASSERT_TRUE(DmssWrite(protocol, 0x00800000, data.data(), 3));
    const auto writes = wire->HostWrites();
    EXPECT_EQ(writes.at(0), (Bytes{0x7E, 0x06, 0x4E, 0x95, 0x7E}));
    EXPECT_EQ(writes.at(1), (Bytes{0x7E, 0x05, 0x00, 0x80, 0x00, 0x00, 0xCF, 0xE5, 0x7E}));
    EXPECT_EQ(writes.at(2), (Bytes{0x7E, 0x0F, 0x00, 0x80, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0x80, 0x8E, 0x7E}));

    ASSERT_TRUE(DmssGo(protocol, 0x1234, 0xABCD));
    EXPECT_EQ(LastPayload(), (Bytes{0x05, 0x12, 0x34, 0xAB, 0xCD}));
    ASSERT_TRUE(DmssWrite(protocol, 0x12345678, nullptr, 0));
    EXPECT_EQ(LastPayload(), (Bytes{0x0F, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00}));
    ASSERT_TRUE(DmssReset(protocol));
    EXPECT_EQ(LastPayload(), Bytes{0x0A});
    ASSERT_TRUE(DmssGetParams(protocol, info));
    EXPECT_EQ(LastPayload(), Bytes{0x07});
}

TEST_F(DmssTest, SilentDeviceCostsEveryAttemptAndEachFullTimeout)
{
    ExpectEachFailsSilently({
        {[&] { return DmssWrite(protocol, 0, nullptr, 0); }, 3, 5000, "Write a Block of Data to Memory Failed, Since "},
        {[&] { return DmssGo(protocol, 0x80, 0); }, 3, 2000, "Cannot begin execution at an address, Since "},
        {[&] { return DmssNop(protocol); }, 1, 20000, "Cannot Do No Operation, Since "},
        {[&] { return DmssReset(protocol); }, 3, 2000, "Cannot Reset the Phone, Since "},
        {[&] { return DmssGetParams(protocol, info); }, 1, 20000, "Cannot Get flash Information, Since "},
    });
}

TEST_F(DmssTest, OnlyARefusalFailsExceptThatNopWantsAnAcknowledgement)
{
    Answer({Dmss::kNak, 0x00, 0x07}, 3);
    EXPECT_FALSE(DmssWrite(protocol, 0x800000, nullptr, 0));
    EXPECT_EQ(WriteCount(), 3u);
    EXPECT_EQ(protocol.lastError, "Write a Block of Data to Memory Failed, Since operation did not succeed");
    // Reasons outside the table, or missing reason bytes, give an empty reason.
    Answer({Dmss::kNak, 0x01, 0x00}, 3);
    EXPECT_FALSE(DmssReset(protocol));
    EXPECT_EQ(protocol.lastError, "Cannot Reset the Phone, Since ");
    Answer({Dmss::kNak, 0x00}, 3);
    EXPECT_FALSE(DmssGo(protocol, 0x80, 0));
    EXPECT_EQ(protocol.lastError, "Cannot begin execution at an address, Since ");

    for (const std::uint8_t code : {0x08, 0x0D, 0x55}) {
        Answer({code, 0x00, 0x07}, 4);
        EXPECT_TRUE(DmssWrite(protocol, 0, nullptr, 0) && DmssGo(protocol, 0x80, 0) && DmssReset(protocol) &&
                    DmssGetParams(protocol, info))
            << int(code);
    }
    protocol.lastError = "earlier reason";
    Answer({0x08});
    EXPECT_FALSE(DmssNop(protocol));
    EXPECT_EQ(protocol.lastError, "Cannot Do No Operation, Since earlier reason");
    EXPECT_EQ(WriteCount(), 9u + 12u + 1u);
}

TEST_F(DmssTest, FlashInfoHoldsThisReplyOnlyAndIsClearedOnFailure)
{
    const auto zeroFrom = [&](std::size_t i) {
        return std::all_of(info.begin() + static_cast<std::ptrdiff_t>(i), info.end(), [](std::uint8_t b) { return b == 0; });
    };
    info.fill(0xAA);
    Bytes reply{0x08};
    for (std::uint8_t i = 1; i <= 20; ++i) reply.push_back(i);
    Answer(reply);
    ASSERT_TRUE(DmssGetParams(protocol, info));
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), info.begin()));
    EXPECT_TRUE(zeroFrom(21));
    // A shorter reply leaves neither its CRC nor the longer reply's bytes.
    Answer({0x08, 0x33});
    ASSERT_TRUE(DmssGetParams(protocol, info));
    EXPECT_EQ(info[1], 0x33);
    EXPECT_TRUE(zeroFrom(2));

    info.fill(0xAA);
    EXPECT_FALSE(DmssGetParams(protocol, info));
    EXPECT_TRUE(zeroFrom(0));
}

TEST_F(DmssTest, WriteTakesAtMost1031DataBytes)
{
    Bytes block(1032);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    Answer({Dmss::kAck});
    ASSERT_TRUE(DmssWrite(protocol, 0x800000, block.data(), 1031));
    const Bytes payload = LastPayload();
    ASSERT_EQ(payload.size(), 7u + 1031u);
    EXPECT_EQ(payload[5], 0x04);
    EXPECT_EQ(payload[6], 0x07);
    EXPECT_TRUE(std::equal(payload.begin() + 7, payload.end(), block.begin()));

    EXPECT_FALSE(DmssWrite(protocol, 0x800000, block.data(), 1032));
    EXPECT_EQ(WriteCount(), 1u);
    EXPECT_EQ(protocol.lastError, "Write a Block of Data to Memory Failed, Since the Data Block is Too Large for One Request");
}

}  // namespace
