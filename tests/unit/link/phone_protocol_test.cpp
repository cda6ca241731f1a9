#include "link/phone_protocol.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "link/frame_codec.h"
#include "test_files.h"
#include "wire_fixture.h"

namespace {

// A reply frame as the device sends it, framed as a request is, with or
// without the leading flag.
Bytes DeviceFrame(const Bytes& payload, bool leadingFlag)
{
    return FrameRequest(leadingFlag ? ProtocolMode::Dmss : ProtocolMode::Diag, payload);
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

// A reply of code 0x02 padded to `wireSize` bytes on the wire.
Bytes LongReply(std::size_t wireSize, bool leadingFlag)
{
    Bytes payload(wireSize - 3 - (leadingFlag ? 1 : 0), 0x11);
    payload[0] = 0x02;
    return DeviceFrame(payload, leadingFlag);
}

TEST(FrameRequest, OnlyDmssAndStreamingFramesOpenWithAFlag)
{
    const struct {
        ProtocolMode mode;
        Bytes payload;
        Bytes frame;
    } cases[] = {
        {ProtocolMode::Diag, {0x01}, {0x01, 0xF1, 0xE1, 0x7E}},
        // A DIAG request whose first byte is a flag goes out escaped, not flagged.
        {ProtocolMode::Diag, {0x7E}, {0x7D, 0x5E, 0x81, 0x6A, 0x7E}},
        {ProtocolMode::Diag, {0x4B, 0x7E, 0x7D}, {0x4B, 0x7D, 0x5E, 0x7D, 0x5D, 0xAA, 0x2B, 0x7E}},
        {ProtocolMode::Dmss, {0x06}, {0x7E, 0x06, 0x4E, 0x95, 0x7E}},
        // A CRC byte that is a flag is escaped too.
        {ProtocolMode::Dmss, {0x2A}, {0x7E, 0x2A, 0x20, 0x7D, 0x5E, 0x7E}},
    };
    for (const auto& c : cases) EXPECT_EQ(FrameRequest(c.mode, c.payload), c.frame) << int(c.mode);
}

TEST(FrameRequest, FullyEscapedLargestRequestFitsALargerOneDoesNot)
{
    Bytes payload(1 + 1039 + 1024, 0x7E);
    const Bytes sent = FrameRequest(ProtocolMode::Streaming, payload);
    ASSERT_FALSE(sent.empty());
    const Result<Bytes> back = UnframeReply(ProtocolMode::Streaming, sent);
    ASSERT_TRUE(back) << back.Reason();
    EXPECT_EQ(*back, payload);

    payload.resize(payload.size() + 3, 0x7E);
    EXPECT_TRUE(FrameRequest(ProtocolMode::Streaming, payload).empty());
}

class PhoneProtocolTest : public WireTest {
protected:
    PhoneProtocolTest()
    {
        protocol.failureLogPath = logPath.string();
        EXPECT_TRUE(protocol.port.Open(kPort, 115200, 8, 1));
    }

    ProtocolReply Send(ProtocolMode mode, const Bytes& payload, std::uint8_t attempts, std::uint32_t timeoutMs)
    {
        return protocol.Exchange({mode, payload, refusal, errorText, pollMs, logFailed}, attempts, timeoutMs);
    }

    static int Code(const ProtocolReply& reply) { return static_cast<int>(reply.failure); }

    StepResult (*refusal)(std::span<const std::uint8_t>) = nullptr;
    std::string_view (*errorText)(std::uint8_t) = nullptr;
    std::uint32_t pollMs = kReplyPollMs;
    bool logFailed = false;
    CPhoneProtocol protocol{clock, ports};
    TempFolder folder{"bytelog"};
    std::filesystem::path logPath = folder / "ByteLog.txt";
};

TEST_F(PhoneProtocolTest, AttemptsAreSentUntilOneSucceedsEachWaitingItsTimeout)
{
    const struct {
        const char* name;
        Bytes payload;
        std::uint8_t attempts;
        bool answersSecond;
        int failureCode;
        std::string reason;
        std::size_t writes;
        std::uint32_t elapsed;
    } cases[] = {
        // Each attempt polls in 10 ms cycles until more than 300 ms have passed.
        {"silent", {0x01}, 3, false, 2, "Port Cannot Receive Desired Data from the Phone", 3, 3 * 310},
        {"second answered", {0x01}, 5, true, 0, "", 2, 310 + 10},
        {"no attempts", Bytes(3000, 0x7E), 0, false, 0, "", 0, 0},
        {"too large", Bytes(3000, 0x7E), 3, false, 1, "The Request is Too Large to Send to the Phone", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.answersSecond) {
            device.ThenSilence();
            device.Then(DeviceFrame({0x01}, false));
        }
        const std::size_t writes = wire->HostWrites().size();
        const std::uint32_t start = Elapsed();
        const ProtocolReply reply = Send(ProtocolMode::Diag, c.payload, c.attempts, 300);
        EXPECT_EQ(static_cast<bool>(reply), c.failureCode == 0);
        EXPECT_EQ(Code(reply), c.failureCode);
        EXPECT_EQ(reply.Reason(), c.reason);
        EXPECT_EQ(wire->HostWrites().size() - writes, c.writes);
        EXPECT_EQ(Elapsed() - start, c.elapsed);
    }
    EXPECT_EQ(protocol.LastFailure(), ExchangeFailure::NotSent);

    // A write that times out, or a closed port, cannot send.
    const std::uint32_t start = Elapsed();
    wire->SetWriteStall(true);
    EXPECT_EQ(Send(ProtocolMode::Diag, {0x01}, 1, 300).Reason(), "Port Cannot Send desired data to the Phone");
    EXPECT_EQ(Elapsed() - start, 10000u);
    protocol.port.Close();
    EXPECT_EQ(Code(Send(ProtocolMode::Diag, {0x01}, 2, 300)), 1);
    EXPECT_EQ(Elapsed() - start, 10000u);
}

// The settling period is the request's, whatever its first byte.
TEST_F(PhoneProtocolTest, ReplyIsTakenOnceTwoCountsTheRequestsPeriodApartAgree)
{
    const struct {
        ProtocolMode mode;
        Bytes payload;
        std::uint32_t pollMs;
        std::uint32_t elapsed;
    } cases[] = {
        // Arrives at 25 ms: first non-zero count at 30, equal again at 40.
        {ProtocolMode::Diag, {0x01}, kReplyPollMs, 40},
        {ProtocolMode::Diag, {0x26, 0x7E}, kReplyPollMs, 40},
        {ProtocolMode::Diag, {0x01}, 30, 60},
        {ProtocolMode::Dmss, {0x27}, 30, 60},
    };
    for (const auto& c : cases) {
        const Bytes payload = {c.payload[0], 0x78, 0x7E, 0x34, 0x12};
        const Bytes sent = DeviceFrame(payload, c.mode != ProtocolMode::Diag);
        device.Then(sent, 25);
        const std::uint32_t start = Elapsed();
        pollMs = c.pollMs;
        const ProtocolReply reply = Send(c.mode, c.payload, 1, 300);
        ASSERT_TRUE(reply) << reply.Reason();
        EXPECT_EQ(Elapsed() - start, c.elapsed) << int(c.payload[0]);
        EXPECT_EQ(reply.payload, payload);
        EXPECT_EQ(reply.rawLength, sent.size());
    }
}

StepResult RefuseCode3(std::span<const std::uint8_t> reply)
{
    if (reply.size() > 1 && reply[1] == 0x03) return StepResult::Failed("refused by the device");
    return {};
}

std::string_view BadCommandOnly(std::uint8_t code) { return code == 0x13 ? "Bad command" : "unknow reason"; }

TEST_F(PhoneProtocolTest, RepliesAreUnframedAndJudgedOrFailWithTheirReason)
{
    const struct {
        const char* name;
        ProtocolMode mode;
        Bytes reply;
        int failureCode;  // 0: the exchange succeeds
        std::string reason;
        std::uint16_t payloadLength;
    } cases[] = {
        {"largest", ProtocolMode::Dmss, LongReply(1024, true), 0, "", 1020},
        {"too large", ProtocolMode::Dmss, LongReply(1025, true), 3, "The Received Data from the Phone is Too Large", 0},
        {"full buffer unflagged", ProtocolMode::Streaming, LongReply(1024, false), 0, "", 1021},
        {"diag bad crc", ProtocolMode::Diag, Damaged(DeviceFrame({0x01, 0, 0, 0, 0}, false), 2), 4,
         "the Received Data is Wrong with Wrong CRC Checksum", 0},
        {"diag refused", ProtocolMode::Diag, DeviceFrame({0x01, 0x03}, false), 4, "refused by the device", 0},
        {"dmss refused", ProtocolMode::Dmss, DeviceFrame({0x02, 0x03}, true), 6, "refused by the device", 0},
        {"dmss accepted", ProtocolMode::Dmss, DeviceFrame({0x02, 0x04}, true), 0, "", 2},
        {"diag error reply", ProtocolMode::Diag, DeviceFrame({0x13, 0x01}, false), 5, "Bad command", 0},
        // A DIAG reply that starts with a flag is an error reply too.
        {"diag flagged", ProtocolMode::Diag, DeviceFrame({0x01, 0x02}, true), 5, "unknow reason", 0},
        {"stream no end flag", ProtocolMode::Streaming, WithoutEndFlag(DeviceFrame({0x02}, true)), 6,
         "the Received Data is Wrong without End Flag(0x7e)", 0},
        {"raw diag as received", ProtocolMode::RawDiag, {0x4B, 0xA3, 0x06, 0x00, 0x7D, 0x5E, 0x01}, 0, "", 7},
        // Two frames in one read are not taken for the first of them.
        {"two frames", ProtocolMode::Streaming, {0x7E, 0x02, 0x6A, 0xD3, 0x7E, 0x7E, 0x02, 0x6A, 0xD3, 0x7E}, 6,
         "the Received Data is Wrong with Wrong CRC Checksum", 0},
        {"a lone flag", ProtocolMode::Dmss, {0x7E}, 6, "the Received Data is Wrong without End Flag(0x7e)", 0},
    };
    refusal = RefuseCode3;
    errorText = BadCommandOnly;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        device.Then(c.reply);
        const ProtocolReply reply = Send(c.mode, {0x01}, 1, 300);
        EXPECT_EQ(static_cast<bool>(reply), c.failureCode == 0);
        EXPECT_EQ(Code(reply), c.failureCode);
        EXPECT_EQ(reply.Reason(), c.reason);
        EXPECT_EQ(reply.payload.size(), c.payloadLength);
    }
}

// Only the requests that ask for it are logged, whatever their code.
TEST_F(PhoneProtocolTest, FailedAttemptsAreLoggedWhenTheRequestAsks)
{
    EXPECT_FALSE(Send(ProtocolMode::Streaming, {0x0B}, 2, 50));
    EXPECT_FALSE(std::filesystem::exists(logPath));

    logFailed = true;
    device.ThenSilence();
    device.Then(WithoutEndFlag(DeviceFrame({0x0C}, true)));
    device.Then(DeviceFrame({0x0C}, true));
    EXPECT_TRUE(Send(ProtocolMode::Streaming, {0x0C}, 3, 50));
    protocol.port.Close();
    EXPECT_FALSE(Send(ProtocolMode::Diag, {0x0C}, 1, 50));
    EXPECT_EQ(ReadFile(logPath), Text("Log: 2\r\nLog: 6\r\nLog: 1\r\n"));
}

}  // namespace
