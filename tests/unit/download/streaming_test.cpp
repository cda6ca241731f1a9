#include "download/streaming.h"

#include "download_test_support.h"
#include "test_files.h"

namespace {

using namespace download;
using Addresses = std::vector<std::uint32_t>;

Bytes Written(std::uint32_t address)
{
    return DeviceFrame({0x08, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
                        static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)});
}

Bytes Status(std::uint8_t status, std::uint8_t verify = 0) { return DeviceFrame({0x29, status, verify, 0, 0}); }

TEST(StreamingBuilders, RequestPayloadsAndFrames)
{
    EXPECT_EQ(FrameRequest(ProtocolMode::Streaming, Payload(Streaming::BuildHello)),
              Concat({{0x7E, 0x01}, Text("QCOM fast download protocol host"), {0x02, 0x02, 0x03, 0x98, 0xDE, 0x7E}}));

    const Bytes table{0xAA, 0x7E, 0xBB};
    const std::pair<Bytes, Bytes> payloads[] = {
        {Payload(Streaming::BuildNop), {0x09, 0x11}},
        {Payload([](Bytes& out) { Streaming::BuildCommand(out, Streaming::kReset); }), {0x0B}},
        {Payload([](Bytes& out) { Streaming::BuildRegionCommand(out, 0x00012345, 0, 0x34, 0x12); }),
         {0x1D, 0x00, 0x90, 0x00, 0x00, 0x00, 0x01, 0x23, 0x45, 0x34, 0x12}},
        {Payload([](Bytes& out) { Streaming::BuildRegionCommand(out, 0x01020304, 1, 0x34, 0x12); }),
         {0x28, 0x10, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x01}},
    };
    for (const auto& [payload, expected] : payloads) EXPECT_EQ(payload, expected);
    for (const std::uint8_t type : {1, 9, 4, 10, 7}) {
        const Bytes expected = type == 7 ? Bytes{0x1B} : type < 4 || type == 9 ? Bytes{0x1B, type} : Bytes{0x1B, type, 0xAA, 0x7E, 0xBB};
        EXPECT_EQ(Payload([&](Bytes& out) { Streaming::BuildOpenMultiImage(out, type, table); }), expected) << int(type);
    }
}

class StreamingTest : public DownloadTest {
protected:
    Addresses Acknowledged() const { return {inbox.Acknowledged().begin(), inbox.Acknowledged().end()}; }

    StreamInbox inbox;
};

TEST_F(StreamingTest, SilentDeviceCostsEveryAttemptAndEachFullTimeout)
{
    ExpectEachFailsSilently({
        {[&] { return Hello(protocol); }, 3, 5000, ""},
        {[&] { return CloseImage(protocol); }, 3, 20000, ""},
        {[&] { return StreamNop(protocol); }, 1, 5000, ""},
        {[&] { return StreamReset(protocol); }, 3, 20000, ""},
        {[&] { return EnterSecurityMode(protocol); }, 3, 2000, "Cannot go into security, Since "},
        {[&] { return SendPartitionTable(protocol, nullptr, 0); }, 1, 100000, "Cannot download partition, Since "},
        {[&] { return OpenMultiImage(protocol, 5, nullptr, 0); }, 2, 25000, "Cannot open multi-image, Since "},
    });
    // Only the reset logs its failed attempts.
    EXPECT_EQ(ReadFile(folder / "ByteLog.txt"), Text("Log: 2\r\nLog: 2\r\nLog: 2\r\n"));
}

TEST_F(StreamingTest, ErrorReplyToARequestIsRetriedAndNamesItsCode)
{
    ASSERT_FALSE(Hello(protocol));
    // Too short for the whole code: the missing bytes are zero, not its CRC.
    device.Then(DeviceFrame({0x0D, 0x05}));
    device.Then(DeviceFrame({0x0D, 0x05}));
    EXPECT_FALSE(OpenMultiImage(protocol, 9, nullptr, 0));
    EXPECT_EQ(protocol.LastError(), "Cannot open multi-image, Since Invalid Command");
}

// A boot downloader that never handed over to the programmer refuses every
// streaming request; nothing but the programmer's own answer counts.
TEST_F(StreamingTest, OnlyTheProgrammersOwnAnswerIsSuccess)
{
    const Bytes refusal = DeviceFrame({0x03, 0x00, 0x06});
    for (int i = 0; i < 3; ++i) device.Then(refusal);
    EXPECT_FALSE(Hello(protocol));
    EXPECT_EQ(protocol.LastError(), "the boot downloader answered: the flash programmer is not running");
    for (int i = 0; i < 3; ++i) device.Then(DeviceFrame({0x1A, 0x00}));
    EXPECT_FALSE(EnterSecurityMode(protocol));
    EXPECT_EQ(protocol.LastError(), "Cannot go into security, Since the reply code 0x1A is not the programmer's answer 0x18");
    device.Then(DeviceFrame({0x18}));
    EXPECT_TRUE(EnterSecurityMode(protocol));

    // A block write the downloader refused is not a block sent.
    device.Then(refusal);
    EXPECT_FALSE(StreamWrite(protocol, inbox, 0, nullptr, 0));
    EXPECT_EQ(protocol.LastError(),
              "Write a Block of Data to Memory Failed, Since the boot downloader answered: the flash programmer is not running");
}

TEST_F(StreamingTest, OversizedDataIsRefusedUnsent)
{
    const Bytes data(1032, 0x7E);
    device.Then(DeviceFrame({0x1A, 0x00}));
    ASSERT_TRUE(SendPartitionTable(protocol, data.data(), 1024));
    EXPECT_EQ(LastPayload().size(), 2u + 1024u);
    ASSERT_TRUE(StreamWrite(protocol, inbox, 0, data.data(), 1031));
    EXPECT_EQ(LastPayload().size(), 5u + 1031u);

    const std::string reason = "the Data Block is Too Large for One Request";
    EXPECT_FALSE(SendPartitionTable(protocol, data.data(), 1025));
    EXPECT_EQ(protocol.LastError(), "Cannot download partition, Since " + reason);
    EXPECT_FALSE(OpenMultiImage(protocol, 5, data.data(), 1025));
    EXPECT_EQ(protocol.LastError(), "Cannot open multi-image, Since " + reason);
    EXPECT_FALSE(StreamWrite(protocol, inbox, 0, data.data(), 1032));
    EXPECT_EQ(protocol.LastError(), "Write a Block of Data to Memory Failed, Since " + reason);
    EXPECT_EQ(WriteCount(), 2u);
}

TEST_F(StreamingTest, StreamWriteCountsSilenceAsSentAndScansWhatComes)
{
    const Bytes data{0x01, 0x7D, 0x03};
    ASSERT_FALSE(Hello(protocol));
    EXPECT_TRUE(StreamWrite(protocol, inbox, 0x12345678, data.data(), 3));
    EXPECT_EQ(LastPayload(), (Bytes{0x07, 0x78, 0x56, 0x34, 0x12, 0x01, 0x7D, 0x03}));
    // 13 ms per settling cycle until more than 3000 ms have passed.
    EXPECT_EQ(Elapsed(), 3u * 5010u + 3003u);
    EXPECT_EQ(protocol.LastError(), "");

    // An acknowledgement queued before the write survives it.
    wire->SendToHost(Written(0x1000));
    device.Then(Written(0x1400));
    ASSERT_TRUE(StreamWrite(protocol, inbox, 0x1400, nullptr, 0));
    EXPECT_EQ(Acknowledged(), (Addresses{0x1000, 0x1400}));
    EXPECT_EQ(Elapsed(), 3u * 5010u + 3003u + 13u);

    device.Then(DeviceFrame({0x0D, 18, 0, 0, 0}));
    EXPECT_FALSE(StreamWrite(protocol, inbox, 0, nullptr, 0));
    EXPECT_EQ(protocol.LastError(), "Write a Block of Data to Memory Failed, Since Out of space");
}

// Frames read but not yet scanned are dropped once another operation begins.
TEST_F(StreamingTest, ReadOneFrameScansAFrameAtATimeUntilAnotherOperationBegins)
{
    wire->SendToHost(Concat({Written(0x100), Written(0x200), Written(0x300)}));
    ASSERT_TRUE(ReadOneFrame(protocol, inbox));
    ASSERT_TRUE(ReadOneFrame(protocol, inbox));
    EXPECT_EQ(Acknowledged(), Addresses{0x200});
    protocol.Begin(ProtocolMode::Diag);
    ASSERT_TRUE(ReadOneFrame(protocol, inbox));
    EXPECT_EQ(Acknowledged(), Addresses{});
    wire->SendToHost(Written(0x400));
    ASSERT_TRUE(ReadOneFrame(protocol, inbox));
    EXPECT_EQ(Acknowledged(), Addresses{0x400});
}

TEST(ScanFrames, CollectsAcknowledgementsAndStatusAndStopsAtAFault)
{
    Bytes first = Written(0x1000);
    first.erase(first.begin());  // a missing leading flag is taken as read
    ScanResult scan = ScanFrames(Concat({first, Written(0x1400), {0x7E, 0x08, 0x00}}));  // the last frame is still open
    EXPECT_TRUE(scan.result);
    EXPECT_EQ(scan.acknowledged, (Addresses{0x1000, 0x1400}));
    EXPECT_FALSE(scan.status);

    // Fields a short frame lacks read as zero, never as its CRC.
    scan = ScanFrames(Concat({DeviceFrame({0x08, 0x00, 0x14}), DeviceFrame({0x29, 0x01})}));
    EXPECT_EQ(scan.acknowledged, Addresses{0x1400});
    EXPECT_EQ(scan.status, (std::array<std::uint8_t, 5>{0x29, 0x01, 0x00, 0x00, 0x00}));

    const std::pair<Bytes, const char*> faults[] = {
        {DeviceFrame({0x0D, 18, 0, 0, 0}), "Out of space"},
        {DeviceFrame({0x0D, 6, 0, 0, 0}), "Illegal reason"},
        {DeviceFrame({0x0D, 0x0C}), "Incorrect security code"},
        {DeviceFrame({0x0D, 2, 0, 0, 1}), "Illegal reason"},
        {{0x7E, 0x7E}, "the Received Data is Wrong with CRC Checksum"},
    };
    for (const auto& [fault, text] : faults) {
        scan = ScanFrames(Concat({Written(0x100), Status(1), fault, Written(0x200)}));
        EXPECT_FALSE(scan.result);
        EXPECT_EQ(scan.result.Reason(), text);
        EXPECT_EQ(scan.acknowledged, Addresses{0x100});
        EXPECT_TRUE(scan.status);
    }
}

TEST_F(StreamingTest, WaitReadyPollsEvery10MsUpTo500Tries)
{
    wire->SendToHost(Status(1), 200);
    EXPECT_TRUE(WaitReady(protocol, inbox));
    EXPECT_EQ(Elapsed(), 200u);
    EXPECT_EQ(inbox.status[0], 0);
    // Another status neither ends the wait nor costs a pause.
    wire->SendToHost(Concat({Status(0, 1), Status(1)}));
    EXPECT_TRUE(WaitReady(protocol, inbox));
    EXPECT_EQ(Elapsed(), 200u);
    EXPECT_FALSE(WaitReady(protocol, inbox));
    EXPECT_EQ(Elapsed(), 200u + 5000u);

    // A status nobody took is superseded by the reply to a later request.
    wire->SendToHost(Status(1));
    ASSERT_TRUE(ReadOneFrame(protocol, inbox));
    device.Then(DeviceFrame({0x0A, 0x11}));
    ASSERT_TRUE(StreamNop(protocol));
    EXPECT_FALSE(WaitReady(protocol, inbox));
}

TEST_F(StreamingTest, WaitVerifyTakesTheVerdictOrKeepsThePreset)
{
    bool verified = true;
    EXPECT_TRUE(WaitVerify(protocol, inbox, verified));
    EXPECT_TRUE(verified);
    EXPECT_EQ(Elapsed(), 60000u);
    wire->SendToHost(Status(0, 0), 30);
    EXPECT_TRUE(WaitVerify(protocol, inbox, verified));
    EXPECT_FALSE(verified);
    EXPECT_EQ(inbox.status[0], 0);
    EXPECT_EQ(Elapsed(), 60030u);
    // A ready status carries no verdict; any non-zero verdict is a pass.
    for (const auto& [status, expected] : {std::pair{Status(1, 1), false}, std::pair{Status(0, 7), true}}) {
        wire->SendToHost(status);
        EXPECT_TRUE(WaitVerify(protocol, inbox, verified));
        EXPECT_EQ(verified, expected);
    }
}

TEST_F(StreamingTest, RegionCommandsPurgeInputAndAwaitNoReply)
{
    wire->SendToHost(Written(0x1000));
    const int purges = wire->InputPurges();
    ASSERT_TRUE(SendRegionCommand(protocol, 0x00012345, 0, 0x34, 0x12));
    EXPECT_EQ(LastPayload()[0], 0x1D);
    EXPECT_EQ(wire->InputPurges(), purges + 1);
    EXPECT_EQ(Elapsed(), 0u);

    protocol.port.Close();
    EXPECT_FALSE(SendRegionCommand(protocol, 1, 0));
    EXPECT_EQ(protocol.LastError(), "Port Cannot Send desired data to the Phone");
}

TEST(RegionChecksum, CheckValueChunksAndShortImages)
{
    Bytes image;
    const RegionReader read = [&](std::uint64_t offset, std::uint8_t* data, std::size_t length) {
        if (offset + length > image.size()) return false;
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(offset), length, data);
        return true;
    };
    std::uint8_t low = 0xAA, high = 0xBB;
    EXPECT_FALSE(RegionChecksum(read, 0, 1, low, high));

    image = Concat({{0xFF, 0xFF}, Text("123456789")});
    ASSERT_TRUE(RegionChecksum(read, 2, 9, low, high));
    EXPECT_EQ(low | high << 8, 0xDE76);
    EXPECT_FALSE(RegionChecksum(read, 3, 9, low, high));
    EXPECT_EQ(low | high << 8, 0xDE76);

    image = Pattern(2 * 0x21000 + 100, 3);
    ASSERT_TRUE(RegionChecksum(read, 7, image.size() - 20, low, high));
    EXPECT_EQ(low | high << 8, static_cast<std::uint16_t>(~frame::CrcUpdate(0, image.data() + 7, image.size() - 20)));
}

}  // namespace
