#include "link/phone_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/frame_codec.h"
#include "wire_fixture.h"

namespace {

// Lays out the command code and the first `paramCount` parameter bytes;
// parsing succeeds unless told otherwise and counts its calls.
class RecordCodec : public IModeCodec {
public:
    std::size_t paramCount = 0;
    bool parseResult = true;
    mutable int parses = 0;

    void BuildPayload(const CPhoneProtocol& protocol, Bytes& payload) const override
    {
        payload.push_back(protocol.command);
        payload.insert(payload.end(), protocol.params, protocol.params + paramCount);
    }
    bool ParseReply(CPhoneProtocol& protocol) const override
    {
        ++parses;
        if (!parseResult) protocol.lastError = "reply rejected by the parser";
        return parseResult;
    }
    std::string ErrorReplyText(std::uint8_t code) const override
    {
        return code == 0x13 ? "Bad command" : IModeCodec::ErrorReplyText(code);
    }
};

Bytes Tx(const CPhoneProtocol& protocol) { return Bytes(protocol.tx, protocol.tx + protocol.txLength); }

// A reply frame as the device sends it: payload, CRC, escaping, both flags
// (the leading one only when asked for).
Bytes DeviceFrame(const Bytes& payload, bool leadingFlag)
{
    Bytes withCrc = payload;
    withCrc.resize(withCrc.size() + 2);
    frame::AppendCrc(withCrc.data(), payload.size());
    Bytes out;
    if (leadingFlag) out.push_back(0x7E);
    frame::AppendEscaped(withCrc.data(), withCrc.size(), out);
    out.push_back(0x7E);
    return out;
}

class PhoneProtocolTest : public WireTest {
protected:
    PhoneProtocolTest()
    {
        protocol.SetModeCodec(ProtocolMode::Diag, &codec);
        protocol.SetModeCodec(ProtocolMode::Dmss, &codec);
        protocol.SetModeCodec(ProtocolMode::Streaming, &codec);
        protocol.failureLogPath = logPath.string();
        std::filesystem::remove(logPath);
    }
    ~PhoneProtocolTest() override { std::filesystem::remove(logPath); }

    void Request(ProtocolMode mode, std::uint8_t command, const Bytes& params = {})
    {
        protocol.ResetRequest();
        protocol.mode = mode;
        protocol.command = command;
        std::copy(params.begin(), params.end(), protocol.params);
        codec.paramCount = params.size();
    }

    void RawRequest(std::uint8_t first)
    {
        protocol.ResetRequest();
        protocol.mode = ProtocolMode::RawDiag;
        protocol.tx[0] = first;
        protocol.txLength = 1;
    }

    bool OpenPort() { return protocol.port.Open(kPort, 115200, 8, 1); }

    std::string LogText()
    {
        std::ifstream in(logPath, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    RecordCodec codec;
    CPhoneProtocol protocol;
    std::filesystem::path logPath = std::filesystem::temp_directory_path() /
                                    ("bytelog-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt");
};

TEST_F(PhoneProtocolTest, OnlyDmssAndStreamingFramesOpenWithAFlag)
{
    const struct {
        ProtocolMode mode;
        std::uint8_t command;
        Bytes params;
        Bytes frame;
    } cases[] = {
        {ProtocolMode::Diag, 0x01, {}, {0x01, 0xF1, 0xE1, 0x7E}},
        // A DIAG request whose first byte is a flag goes out escaped, not flagged.
        {ProtocolMode::Diag, 0x7E, {}, {0x7D, 0x5E, 0x81, 0x6A, 0x7E}},
        {ProtocolMode::Diag, 0x4B, {0x7E, 0x7D}, {0x4B, 0x7D, 0x5E, 0x7D, 0x5D, 0xAA, 0x2B, 0x7E}},
        {ProtocolMode::Dmss, 0x06, {}, {0x7E, 0x06, 0x4E, 0x95, 0x7E}},
        // A CRC byte that is a flag is escaped too.
        {ProtocolMode::Dmss, 0x2A, {}, {0x7E, 0x2A, 0x20, 0x7D, 0x5E, 0x7E}},
        {ProtocolMode::Streaming, 0x06, {}, {0x7E, 0x06, 0x4E, 0x95, 0x7E}},
    };
    for (const auto& c : cases) {
        Request(c.mode, c.command, c.params);
        EXPECT_EQ(protocol.BuildFrame(), c.frame.size());
        EXPECT_EQ(Tx(protocol), c.frame) << int(c.mode) << " " << int(c.command);
    }
    RawRequest(0x01);
    protocol.BuildFrame();
    EXPECT_EQ(Tx(protocol), (Bytes{0x01, 0xF1, 0xE1, 0x7E}));
}

TEST_F(PhoneProtocolTest, FullyEscapedLargestBlockFitsAndArrivesIntact)
{
    Request(ProtocolMode::Streaming, 0x07, Bytes(1024, 0x7E));
    const std::uint32_t length = protocol.BuildFrame();
    ASSERT_GT(length, 2048u);
    ASSERT_TRUE(OpenPort());
    device.Then(DeviceFrame({0x08}, true));
    ASSERT_TRUE(protocol.Exchange(1, 300));

    const Bytes sent = wire->HostWrites().at(0);
    ASSERT_EQ(sent.size(), length);
    EXPECT_EQ(sent.front(), 0x7E);
    EXPECT_EQ(sent.back(), 0x7E);
    Bytes unescaped;
    frame::AppendUnescaped(sent.data() + 1, sent.size() - 2, unescaped);
    ASSERT_EQ(unescaped.size(), 1u + 1024u + 2u);
    EXPECT_TRUE(frame::CheckCrc(unescaped.data(), unescaped.size()));
    EXPECT_EQ(Bytes(unescaped.begin() + 1, unescaped.end() - 2), Bytes(1024, 0x7E));
}

TEST_F(PhoneProtocolTest, ZeroAttemptsSendNothingAndSucceed)
{
    ASSERT_TRUE(OpenPort());
    Request(ProtocolMode::Diag, 0x01);
    EXPECT_TRUE(protocol.Exchange(0, 1000));
    EXPECT_TRUE(wire->HostWrites().empty());
    EXPECT_EQ(Elapsed(), 0u);
}

TEST_F(PhoneProtocolTest, SilentDeviceGetsEveryAttemptAndEachWaitsTheFullTimeout)
{
    ASSERT_TRUE(OpenPort());
    Request(ProtocolMode::Diag, 0x01);
    EXPECT_FALSE(protocol.Exchange(3, 300));
    // Each attempt polls in 10 ms cycles until more than 300 ms have passed.
    EXPECT_EQ(Elapsed(), 3u * 310u);
    const auto writes = wire->HostWrites();
    ASSERT_EQ(writes.size(), 3u);
    for (const Bytes& write : writes) EXPECT_EQ(write, (Bytes{0x01, 0xF1, 0xE1, 0x7E}));
    EXPECT_EQ(protocol.LastFailureCode(), 2);
    EXPECT_EQ(protocol.lastError, "Port Cannot Receive Desired Data from the Phone");
}

TEST_F(PhoneProtocolTest, ReplyIsTakenOnceTwoCountsAgree)
{
    ASSERT_TRUE(OpenPort());
    Request(ProtocolMode::Diag, 0x01, {});
    device.Then(DeviceFrame({0x01, 0x78, 0x56, 0x34, 0x12}, false), 25);
    ASSERT_TRUE(protocol.Exchange(1, 300));
    // Arrives at 25 ms: first non-zero count at 30, equal again at 40.
    EXPECT_EQ(Elapsed(), 40u);
    EXPECT_EQ(codec.parses, 1);
    EXPECT_EQ(protocol.reply[0], 0x01);
    EXPECT_EQ(protocol.rxPayloadLength, 5u);
    EXPECT_EQ(protocol.rxLength, 0u);
    EXPECT_EQ(protocol.rx[4], 0x12);
    EXPECT_EQ(protocol.rawReplyLength, 8u);
}

TEST_F(PhoneProtocolTest, ClosedPortOrWriteTimeoutCannotSend)
{
    Request(ProtocolMode::Diag, 0x01);
    EXPECT_FALSE(protocol.Exchange(2, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 1);
    EXPECT_EQ(protocol.lastError, "Port Cannot Send desired data to the Phone");
    EXPECT_EQ(Elapsed(), 0u);

    ASSERT_TRUE(OpenPort());
    wire->SetWriteStall(true);
    protocol.lastError.clear();
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 1);
    EXPECT_EQ(protocol.lastError, "Port Cannot Send desired data to the Phone");
    EXPECT_EQ(Elapsed(), 10000u);
}

// A reply of code 0x02 padded to `wireSize` bytes on the wire.
Bytes LongReply(std::size_t wireSize, bool leadingFlag)
{
    Bytes payload(wireSize - 3 - (leadingFlag ? 1 : 0), 0x11);
    payload[0] = 0x02;
    Bytes frame = DeviceFrame(payload, leadingFlag);
    EXPECT_EQ(frame.size(), wireSize);
    return frame;
}

Bytes Damaged(Bytes frame, std::size_t at)
{
    frame[at] ^= 0x40;
    return frame;
}

Bytes WithoutEndFlag(Bytes frame)
{
    frame.pop_back();
    return frame;
}

Bytes Twice(Bytes frame)
{
    const Bytes copy = frame;
    frame.insert(frame.end(), copy.begin(), copy.end());
    return frame;
}

TEST_F(PhoneProtocolTest, RepliesAreUnframedCheckedAndParsedOrFailWithTheirReason)
{
    const std::string kSame = "(unchanged)";
    const struct {
        const char* name;
        ProtocolMode mode;
        Bytes reply;
        bool parserAccepts;
        int failureCode;  // 0: the exchange succeeds
        std::string error;
        int parses;
        std::uint16_t payloadLength;
    } cases[] = {
        {"largest", ProtocolMode::Dmss, LongReply(1024, true), true, 0, kSame, 1, 1020},
        {"too large", ProtocolMode::Dmss, LongReply(1025, true), true, 3,
         "The Received Data from the Phone is Too Large", 0, 0},
        {"full buffer unflagged", ProtocolMode::Streaming, LongReply(1024, false), true, 0, kSame, 1, 1021},
        {"diag bad crc", ProtocolMode::Diag, Damaged(DeviceFrame({0x01, 0, 0, 0, 0}, false), 2), true, 4,
         "the Received Data is Wrong with Wrong CRC Checksum", 0, 0},
        {"diag parser", ProtocolMode::Diag, DeviceFrame({0x01}, false), false, 4, "reply rejected by the parser", 1, 1},
        {"dmss parser", ProtocolMode::Dmss, DeviceFrame({0x02}, true), false, 6, "reply rejected by the parser", 1, 1},
        {"diag error reply", ProtocolMode::Diag, DeviceFrame({0x13, 0x01}, false), true, 5, "Bad command", 0, 0},
        // A DIAG reply that starts with a flag is an error reply too.
        {"diag flagged", ProtocolMode::Diag, DeviceFrame({0x01, 0x02}, true), true, 5, "unknow reason", 0, 0},
        {"dmss unflagged", ProtocolMode::Dmss, DeviceFrame({0x02}, false), true, 0, kSame, 1, 1},
        {"dmss no end flag", ProtocolMode::Dmss, WithoutEndFlag(DeviceFrame({0x02}, true)), true, 6,
         "the Received Data is Wrong without End Flag(0x7e)", 0, 0},
        {"two frames in one read", ProtocolMode::Streaming, Twice(DeviceFrame({0x02}, true)), true, 6,
         "the Received Data is Wrong with Wrong CRC Checksum", 0, 0},
    };
    ASSERT_TRUE(OpenPort());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        codec.parses = 0;
        codec.parseResult = c.parserAccepts;
        protocol.lastError = kSame;
        device.Then(c.reply);
        Request(c.mode, 0x01);
        EXPECT_EQ(protocol.Exchange(1, 300), c.failureCode == 0);
        if (c.failureCode != 0) {
            EXPECT_EQ(protocol.LastFailureCode(), c.failureCode);
        }
        EXPECT_EQ(protocol.lastError, c.error);
        EXPECT_EQ(codec.parses, c.parses);
        if (c.parses) {
            EXPECT_EQ(protocol.rawReplyLength, c.reply.size());
            EXPECT_EQ(protocol.rxPayloadLength, c.payloadLength);
            EXPECT_EQ(protocol.reply[0], c.reply[0] == 0x7E ? c.reply[1] : c.reply[0]);
        }
    }
}

TEST_F(PhoneProtocolTest, RawDiagRepliesAreLeftAsReceived)
{
    ASSERT_TRUE(OpenPort());
    const Bytes raw{0x4B, 0xA3, 0x06, 0x00, 0x7D, 0x5E, 0x01};
    device.Then(raw);
    RawRequest(0x4B);
    EXPECT_TRUE(protocol.Exchange(1, 1000));
    EXPECT_EQ(protocol.rawReplyLength, raw.size());
    EXPECT_EQ(Bytes(protocol.rx, protocol.rx + raw.size()), raw);
    EXPECT_EQ(codec.parses, 0);
}

TEST_F(PhoneProtocolTest, RetriesStopAtTheFirstSuccess)
{
    ASSERT_TRUE(OpenPort());
    device.ThenSilence();
    device.Then(DeviceFrame({0x02}, true));
    Request(ProtocolMode::Dmss, 0x06);
    EXPECT_TRUE(protocol.Exchange(5, 100));
    EXPECT_EQ(wire->HostWrites().size(), 2u);
}

TEST_F(PhoneProtocolTest, FailedStreamResetsAreLoggedOthersAreNot)
{
    ASSERT_TRUE(OpenPort());
    Request(ProtocolMode::Streaming, 0x0C);
    EXPECT_FALSE(protocol.Exchange(2, 50));
    Request(ProtocolMode::Diag, 0x0B);
    EXPECT_FALSE(protocol.Exchange(1, 50));
    EXPECT_FALSE(std::filesystem::exists(logPath));

    device.ThenSilence();
    device.Then(WithoutEndFlag(DeviceFrame({0x0C}, true)));
    device.Then(DeviceFrame({0x0C}, true));
    Request(ProtocolMode::Streaming, 0x0B);
    EXPECT_TRUE(protocol.Exchange(3, 50));
    EXPECT_EQ(LogText(), "Log: 2\r\nLog: 6\r\n");

    protocol.port.Close();
    Request(ProtocolMode::Streaming, 0x0B);
    EXPECT_FALSE(protocol.Exchange(1, 50));
    EXPECT_EQ(LogText(), "Log: 2\r\nLog: 6\r\nLog: 1\r\n");
}

TEST_F(PhoneProtocolTest, LastErrorTextIsNeverCleared)
{
    ASSERT_TRUE(OpenPort());
    Request(ProtocolMode::Dmss, 0x06);
    EXPECT_FALSE(protocol.Exchange(1, 50));
    const std::string reason = protocol.lastError;
    ASSERT_FALSE(reason.empty());

    protocol.scratch = "Cannot Reset the Phone, Since ";
    protocol.reply[0] = 0x55;
    protocol.ackCount = 3;
    protocol.pendingCount = 7;
    protocol.ResetRequest();
    EXPECT_EQ(protocol.lastError, reason);
    EXPECT_TRUE(protocol.scratch.empty());
    EXPECT_EQ(protocol.reply[0], 0x55);
    EXPECT_EQ(protocol.ackCount, 3);
    EXPECT_EQ(protocol.pendingCount, 7u);
    EXPECT_EQ(protocol.txLength, 0u);

    device.Then(DeviceFrame({0x02}, true));
    EXPECT_TRUE(protocol.Exchange(1, 50));
    EXPECT_EQ(protocol.lastError, reason);
}

}  // namespace
