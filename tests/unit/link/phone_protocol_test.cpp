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

TEST_F(PhoneProtocolTest, DiagFramesHaveNoLeadingFlag)
{
    Request(ProtocolMode::Diag, 0x01);
    ASSERT_EQ(protocol.BuildFrame(), 4u);
    EXPECT_EQ(Tx(protocol), (Bytes{0x01, 0xF1, 0xE1, 0x7E}));

    // Even a request whose first byte is a flag must not start with one.
    Request(ProtocolMode::Diag, 0x7E);
    protocol.BuildFrame();
    EXPECT_NE(protocol.tx[0], 0x7E);
    EXPECT_EQ(protocol.tx[0], 0x7D);
}

TEST_F(PhoneProtocolTest, DmssFramesCarryBothFlags)
{
    Request(ProtocolMode::Dmss, 0x06);
    protocol.BuildFrame();
    EXPECT_EQ(Tx(protocol), (Bytes{0x7E, 0x06, 0x4E, 0x95, 0x7E}));

    Request(ProtocolMode::Dmss, 0x05, {0x00, 0x80, 0x00, 0x00});
    protocol.BuildFrame();
    EXPECT_EQ(Tx(protocol), (Bytes{0x7E, 0x05, 0x00, 0x80, 0x00, 0x00, 0xCF, 0xE5, 0x7E}));

    Request(ProtocolMode::Dmss, 0x0F, {0x00, 0x80, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC});
    protocol.BuildFrame();
    EXPECT_EQ(Tx(protocol),
              (Bytes{0x7E, 0x0F, 0x00, 0x80, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0x80, 0x8E, 0x7E}));

    Request(ProtocolMode::Streaming, 0x01);
    protocol.BuildFrame();
    EXPECT_EQ(protocol.tx[0], 0x7E);
}

TEST_F(PhoneProtocolTest, RawDiagSendsTheCallersPayloadWithoutLeadingFlag)
{
    protocol.ResetRequest();
    protocol.mode = ProtocolMode::RawDiag;
    protocol.tx[0] = 0x01;
    protocol.txLength = 1;
    protocol.BuildFrame();
    EXPECT_EQ(Tx(protocol), (Bytes{0x01, 0xF1, 0xE1, 0x7E}));
}

TEST_F(PhoneProtocolTest, PayloadAndCrcBytesAreEscaped)
{
    Request(ProtocolMode::Diag, 0x4B, {0x7E, 0x7D});
    protocol.BuildFrame();
    const Bytes tx = Tx(protocol);
    ASSERT_GE(tx.size(), 5u);
    EXPECT_EQ(Bytes(tx.begin(), tx.begin() + 5), (Bytes{0x4B, 0x7D, 0x5E, 0x7D, 0x5D}));

    // Find a one-byte payload whose CRC holds a 0x7E and check its escape.
    for (int code = 0; code < 256; ++code) {
        Bytes payload{static_cast<std::uint8_t>(code), 0, 0};
        frame::AppendCrc(payload.data(), 1);
        if (payload[1] != 0x7E && payload[2] != 0x7E) continue;
        Request(ProtocolMode::Dmss, static_cast<std::uint8_t>(code));
        protocol.BuildFrame();
        Bytes expected{0x7E};
        frame::AppendEscaped(payload.data(), payload.size(), expected);
        expected.push_back(0x7E);
        EXPECT_EQ(Tx(protocol), expected);
        const Bytes escapedFlag{0x7D, 0x5E};
        EXPECT_NE(std::search(expected.begin() + 2, expected.end(), escapedFlag.begin(), escapedFlag.end()),
                  expected.end());
        return;
    }
    FAIL() << "no one-byte payload has 0x7E in its CRC";
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

TEST_F(PhoneProtocolTest, NvRequestsPollEvery30MsOthersEvery10Ms)
{
    ASSERT_TRUE(OpenPort());
    Request(ProtocolMode::Diag, 0x26);
    EXPECT_FALSE(protocol.Exchange(1, 100));
    EXPECT_EQ(Elapsed(), 120u);

    Request(ProtocolMode::Diag, 0x27);
    EXPECT_FALSE(protocol.Exchange(1, 100));
    EXPECT_EQ(Elapsed(), 240u);

    // The same command codes outside DIAG mode are not NV requests.
    Request(ProtocolMode::Dmss, 0x26);
    EXPECT_FALSE(protocol.Exchange(1, 100));
    EXPECT_EQ(Elapsed(), 350u);
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

TEST_F(PhoneProtocolTest, ClosedPortCannotSend)
{
    Request(ProtocolMode::Diag, 0x01);
    EXPECT_FALSE(protocol.Exchange(2, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 1);
    EXPECT_EQ(protocol.lastError, "Port Cannot Send desired data to the Phone");
    EXPECT_EQ(Elapsed(), 0u);
}

TEST_F(PhoneProtocolTest, WriteTimeoutCannotSend)
{
    ASSERT_TRUE(OpenPort());
    wire->SetWriteStall(true);
    Request(ProtocolMode::Diag, 0x01);
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 1);
    EXPECT_EQ(protocol.lastError, "Port Cannot Send desired data to the Phone");
    EXPECT_EQ(Elapsed(), 10000u);
}

TEST_F(PhoneProtocolTest, ReceiveSizeLimitIs1024Bytes)
{
    ASSERT_TRUE(OpenPort());
    // 7E, 1020 payload bytes, two CRC bytes, 7E: exactly 1024 received.
    Bytes payload(1020, 0x11);
    payload[0] = 0x02;
    Bytes exact = DeviceFrame(payload, true);
    ASSERT_EQ(exact.size(), 1024u);
    device.Then(exact);
    Request(ProtocolMode::Dmss, 0x01);
    EXPECT_TRUE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.rxPayloadLength, 1020u);

    payload.push_back(0x11);
    Bytes tooLarge = DeviceFrame(payload, true);
    ASSERT_EQ(tooLarge.size(), 1025u);
    device.Then(tooLarge);
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 3);
    EXPECT_EQ(protocol.lastError, "The Received Data from the Phone is Too Large");
}

TEST_F(PhoneProtocolTest, FullBufferWithoutLeadingFlagIsUnframed)
{
    ASSERT_TRUE(OpenPort());
    Bytes payload(1021, 0x22);
    payload[0] = 0x02;
    Bytes reply = DeviceFrame(payload, false);
    ASSERT_EQ(reply.size(), 1024u);
    device.Then(reply);
    Request(ProtocolMode::Streaming, 0x01);
    EXPECT_TRUE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.rxPayloadLength, 1021u);
    EXPECT_EQ(protocol.rawReplyLength, 1024u);
}

TEST_F(PhoneProtocolTest, DiagReplyWithWrongCrcFailsWithCode4)
{
    ASSERT_TRUE(OpenPort());
    Bytes reply = DeviceFrame({0x01, 0x00, 0x00, 0x00, 0x00}, false);
    reply[2] ^= 0x40;
    device.Then(reply);
    Request(ProtocolMode::Diag, 0x01);
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 4);
    EXPECT_EQ(protocol.lastError, "the Received Data is Wrong with Wrong CRC Checksum");
    EXPECT_EQ(codec.parses, 0);
}

TEST_F(PhoneProtocolTest, ParserRejectionFailsWithItsReason)
{
    ASSERT_TRUE(OpenPort());
    codec.parseResult = false;
    device.Then(DeviceFrame({0x01}, false));
    Request(ProtocolMode::Diag, 0x01);
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 4);
    EXPECT_EQ(protocol.lastError, "reply rejected by the parser");

    device.Then(DeviceFrame({0x02}, true));
    Request(ProtocolMode::Dmss, 0x01);
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 6);
}

TEST_F(PhoneProtocolTest, DiagErrorRepliesAreNamedByTheirFirstByte)
{
    ASSERT_TRUE(OpenPort());
    device.Then(DeviceFrame({0x13, 0x01}, false));
    Request(ProtocolMode::Diag, 0x01);
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 5);
    EXPECT_EQ(protocol.lastError, "Bad command");

    // A DIAG reply that starts with a flag is an error reply too.
    device.Then(DeviceFrame({0x01, 0x02}, true));
    Request(ProtocolMode::Diag, 0x01);
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 5);
    EXPECT_EQ(protocol.lastError, "unknow reason");
    EXPECT_EQ(codec.parses, 0);
}

TEST_F(PhoneProtocolTest, DmssReplyWithoutLeadingFlagIsAccepted)
{
    ASSERT_TRUE(OpenPort());
    device.Then(DeviceFrame({0x02}, false));
    Request(ProtocolMode::Dmss, 0x06);
    EXPECT_TRUE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.reply[0], 0x02);
}

TEST_F(PhoneProtocolTest, DmssReplyWithoutTrailingFlagFailsWithCode6)
{
    ASSERT_TRUE(OpenPort());
    Bytes reply = DeviceFrame({0x02}, true);
    reply.pop_back();
    device.Then(reply);
    Request(ProtocolMode::Dmss, 0x06);
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 6);
    EXPECT_EQ(protocol.lastError, "the Received Data is Wrong without End Flag(0x7e)");
}

TEST_F(PhoneProtocolTest, TwoFramesInOneReadFailTheCrc)
{
    ASSERT_TRUE(OpenPort());
    Bytes reply = DeviceFrame({0x02}, true);
    const Bytes second = reply;
    reply.insert(reply.end(), second.begin(), second.end());
    device.Then(reply);
    Request(ProtocolMode::Streaming, 0x06);
    EXPECT_FALSE(protocol.Exchange(1, 300));
    EXPECT_EQ(protocol.LastFailureCode(), 6);
    EXPECT_EQ(protocol.lastError, "the Received Data is Wrong with Wrong CRC Checksum");
}

TEST_F(PhoneProtocolTest, RawDiagRepliesAreLeftAsReceived)
{
    ASSERT_TRUE(OpenPort());
    const Bytes raw{0x4B, 0xA3, 0x06, 0x00, 0x7D, 0x5E, 0x01};
    device.Then(raw);
    protocol.ResetRequest();
    protocol.mode = ProtocolMode::RawDiag;
    protocol.tx[0] = 0x4B;
    protocol.txLength = 1;
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
    Bytes noEndFlag = DeviceFrame({0x0C}, true);
    noEndFlag.pop_back();
    device.Then(noEndFlag);
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
