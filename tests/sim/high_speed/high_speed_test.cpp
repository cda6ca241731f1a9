// The two large images against the simulated flash programmer: the checksum
// mode with its blocks, checksums and verdicts, the segment mode it falls back
// to with its CRC reply and written reports, opening the images, and every way
// each of them fails.
#include "../procedures/procedure_fixture.h"
#include "flashing/high_speed_download.h"

namespace {

using namespace flashing;

// Line 1 with its flash programmer running, ready for the two large images.
class HighSpeedTest : public ProcedureSimTest {
protected:
    static constexpr std::uint8_t kAmssType = 5;
    static constexpr std::uint8_t kEfsType = 9;

    void SetUp() override
    {
        ProcedureSimTest::SetUp();
        RunProgrammer();
    }
    void OpenEfs() { ASSERT_TRUE(download::OpenMultiImage(line.protocol, kEfsType, nullptr, 0)); }
    const Bytes& Stored(std::uint8_t type) { return modem.Images().at(type).data; }
    // The checksum bytes the programmer received with each block, in order.
    std::vector<Bytes> SentChecksums() const { return PayloadsOf("rawblock"); }
};

// How a transfer mode ended, as its caller tells the cases apart.
std::string Ended(const TransferResult& result)
{
    if (result) return "done";
    return result.modeUnavailable ? "unavailable" : "failed";
}

using ChecksumModeTest = HighSpeedTest;
using SegmentModeTest = HighSpeedTest;
using HighSpeedImageTest = HighSpeedTest;

TEST_F(HighSpeedImageTest, TheModemSoftwareGoesWithItsHeaderInTheChecksumMode)
{
    const Bytes header = Pattern(40, 30);
    Write("amsshd.mbn", header);
    // One byte past two whole blocks: a third block of that byte, whose
    // checksum is its value.
    const Bytes image = Pattern(0x40000 + 1, 31);
    Write("amss.mbn", image);
    EXPECT_TRUE(WriteAmssImage(ctx));
    const auto sums = SentChecksums();
    ASSERT_EQ(sums.size(), 3u);
    EXPECT_EQ(sums[2], (Bytes{image.back(), 0, 0, 0}));
    EXPECT_EQ(Count("segment"), 0);
    EXPECT_EQ(reporter.Progress(), (std::vector<int>{26, 34, 42, 50}));
    EXPECT_TRUE(reporter.Entries().empty());
}

TEST_F(HighSpeedImageTest, AModemSoftwareHeaderThatCannotBeSentStopsBeforeTheImage)
{
    Write("amss.mbn", Pattern(100, 32));
    EXPECT_FALSE(WriteAmssImage(ctx));
    Write("amsshd.mbn", {});
    EXPECT_FALSE(WriteAmssImage(ctx));
    // Too long for one request: refused three times without reaching the device.
    Write("amsshd.mbn", Pattern(1025, 33));
    EXPECT_FALSE(WriteAmssImage(ctx));
    EXPECT_EQ(reporter.Entries(), (std::vector<std::string>{"open amsshd file failed!", "amsshd file length wrong",
                                                            "enter DownloadAmss mode failed!"}));
    EXPECT_EQ(Count("open"), 0);
}

TEST_F(HighSpeedImageTest, OpeningIsTriedThreeTimesWithPausesOf1000And3000Ms)
{
    // Each try is a request sent up to twice; five refusals leave the third try.
    Fault("open=streamerror:5*5");
    Write("efs.mbn", Pattern(0x100, 34));
    std::uint32_t start = Now();
    EXPECT_TRUE(WriteCefsImage(ctx));
    EXPECT_EQ(Count("open"), 6);
    // The two pauses, 20 ms for each reply, and the image written.
    EXPECT_EQ(Now() - start, 4000u + 6 * 20 + 40);

    Fault("open=streamerror:5*6");
    start = Now();
    EXPECT_FALSE(WriteCefsImage(ctx));
    EXPECT_EQ(Count("open"), 12);
    EXPECT_EQ(Now() - start, 4000u + 6 * 20);
    EXPECT_EQ(reporter.Entries(), std::vector<std::string>{"Enter Download EFS mode failed"});
}

TEST_F(ChecksumModeTest, ABlockIsFollowedByItsChecksumLowByteFirst)
{
    OpenEfs();
    EXPECT_EQ(Ended(WriteImageChecksumMode(ctx, Write("abc.bin", {0x61, 0x62, 0x63}), 51, 80, "label ")), "done");
    EXPECT_EQ(SentChecksums(), (std::vector<Bytes>{{0x61, 0x62, 0x63, 0x00}}));
    EXPECT_EQ(Stored(kEfsType), (Bytes{0x61, 0x62, 0x63}));
    EXPECT_TRUE(modem.Images().at(kEfsType).closed);
    EXPECT_EQ(reporter.Progress(), (std::vector<int>{51, 80}));
}

TEST_F(ChecksumModeTest, ABlockRejectedOnceIsSentAgainTwiceFailsTheImageWithoutFallingBack)
{
    modem.faults().blockRejects = 1;
    const Bytes image = Pattern(0x30000, 4);
    OpenEfs();
    EXPECT_EQ(Ended(WriteImageChecksumMode(ctx, Write("efs.mbn", image), 51, 80, "")), "done");
    EXPECT_EQ(SentChecksums().size(), 4u);
    EXPECT_EQ(Stored(kEfsType), image);

    Mark();
    modem.faults().blockRejects = 2;
    EXPECT_FALSE(WriteCefsImage(ctx));
    EXPECT_EQ(SentChecksums().size(), 2u);
    const Names requests = Requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "segment") + std::count(requests.begin(), requests.end(), "close"), 0);
}

TEST_F(ChecksumModeTest, AProgrammerNeverReadyGivesUpTheModeAtTheFirstBlock)
{
    modem.faults().neverReady = true;
    OpenEfs();
    const std::uint32_t start = Now();
    EXPECT_EQ(Ended(WriteImageChecksumMode(ctx, Write("efs.mbn", Pattern(0x30000, 6)), 51, 80, "")), "unavailable");
    EXPECT_EQ(Now() - start, 500u * 10u);
    EXPECT_TRUE(SentChecksums().empty());
}

TEST_F(ChecksumModeTest, TheSegmentModeResendsTheWholeImageAfterAProgrammerStopsBeingReady)
{
    // The first block is taken; the programmer never gets ready for the next.
    Fault("ready=silent");
    const Bytes image = Pattern(0x50000 + 7, 7);
    Write("efs.mbn", image);
    EXPECT_TRUE(WriteCefsImage(ctx));
    EXPECT_EQ(SentChecksums().size(), 1u);
    const auto segments = PayloadsOf("segment");
    ASSERT_EQ(segments.size(), 1u);
    const Bytes& p = segments[0];
    EXPECT_EQ(static_cast<std::uint32_t>(p[5] << 24 | p[6] << 16 | p[7] << 8 | p[8]), image.size());
    EXPECT_EQ(Stored(kEfsType), image);
}

// Nothing to send, a close never answered and an announcement that cannot be
// written, in either mode.
TEST_F(HighSpeedTest, FailuresAroundTheData)
{
    // Nothing to send: 0; only the segment mode names the missing file.
    for (const std::string& path : {(folder / "missing.bin").string(), Write("empty.bin", {})}) {
        EXPECT_EQ(Ended(WriteImageChecksumMode(ctx, path, 51, 80, "")), "failed") << path;
        EXPECT_EQ(Ended(WriteImageSegmentMode(ctx, path, 51, 80, "")), "failed") << path;
    }
    EXPECT_EQ(reporter.Entries(), std::vector<std::string>{"open file failed!"});
    EXPECT_TRUE(Requests().empty());

    // The image closed with no answer: 0, nothing logged.
    Fault("close=silent*3");
    OpenEfs();
    EXPECT_EQ(Ended(WriteImageChecksumMode(ctx, Write("efs.mbn", Pattern(100, 8)), 51, 80, "")), "failed");
    EXPECT_EQ(reporter.Entries().size(), 1u);
    EXPECT_EQ(reporter.Progress(), std::vector<int>{51});

    // An announcement that cannot be written leaves the checksum mode for the
    // segment mode to try.
    line.protocol.port.Close();
    const std::string path = Write("efs.mbn", Pattern(100, 8));
    EXPECT_EQ(Ended(WriteImageChecksumMode(ctx, path, 51, 80, "")), "unavailable");
    EXPECT_EQ(Ended(WriteImageSegmentMode(ctx, path, 51, 80, "")), "failed");
    EXPECT_EQ(reporter.Entries(), (std::vector<std::string>{"open file failed!", "Fail to open  checksum high speed mode !",
                                                            "send high speed command failed!"}));
}

TEST_F(SegmentModeTest, AnImageOverTenMiBGoesInTwoSegmentsAfterTheChecksumModeIsRefused)
{
    modem.faults().neverReady = true;
    const Bytes header = Pattern(40, 20);
    const Bytes image = Pattern(0xA00000 + 0x30005, 21);
    Write("amsshd.mbn", header);
    Write("amss.mbn", image);
    ASSERT_TRUE(WriteAmssImage(ctx));
    EXPECT_EQ(modem.Images().at(kAmssType).header, header);
    EXPECT_TRUE(Stored(kAmssType) == image);
    EXPECT_EQ(Count("segment"), 2);

    // Each segment: sent, CRC confirmed (the simulated programmer fills the
    // reply's lower half with 0x5A5A, which must not matter), then reported.
    const auto entries = reporter.Entries();
    ASSERT_EQ(entries.size(), 4u + 80u + 4u + 2u);
    const std::vector<std::string> opening{"download amss (Send data in high speed)...",
                                           "Send success,wait for CRC return!", "CRC check right",
                                           "download amss (receive)..."};
    EXPECT_EQ(std::vector<std::string>(entries.begin(), entries.begin() + 4), opening);
    EXPECT_EQ(entries[4], "download amss (receive)...has writed:0x1FFFF");
    EXPECT_EQ(entries[83], "download amss (receive)...has writed:0x9FFFFF");
    EXPECT_EQ(std::vector<std::string>(entries.begin() + 84, entries.begin() + 88), opening);
    EXPECT_EQ(entries.back(), "download amss (receive)...has writed:0x30004");

    // The bar runs 26 -> 42 while sending and 42 -> 50 while reports come,
    // once per segment.
    const auto progress = reporter.Progress();
    const auto restart = std::find(progress.begin() + 1, progress.end(), 26);
    ASSERT_NE(restart, progress.end());
    EXPECT_EQ(progress.front(), 26);
    EXPECT_TRUE(std::is_sorted(progress.begin(), restart));
    EXPECT_TRUE(std::is_sorted(restart, progress.end()));
    EXPECT_EQ(*(restart - 1), 50);
    EXPECT_NE(std::find(progress.begin(), restart, 42), restart);
    EXPECT_EQ(progress.back(), 50);
}

TEST(ChecksumModeProgress, StaysWithinItsRange)
{
    EXPECT_EQ(ChecksumBlockProgress(26, 50, 0, 122), 26);
    EXPECT_EQ(ChecksumBlockProgress(26, 50, 121, 122), 49);
    // A range without room stays where it is.
    EXPECT_EQ(ChecksumBlockProgress(60, 60, 0, 1), 60);
}

TEST_F(SegmentModeTest, ProgressRangesWithoutRoomDoNotStopTheTransfer)
{
    const Bytes image = Pattern(0x50000, 23);
    OpenEfs();
    EXPECT_EQ(Ended(WriteImageSegmentMode(ctx, Write("one.bin", image), 60, 60, "")), "done");
    for (int percent : reporter.Progress()) EXPECT_EQ(percent, 60);
    OpenEfs();
    EXPECT_EQ(Ended(WriteImageSegmentMode(ctx, Write("two.bin", image), 60, 61, "")), "done");
    EXPECT_EQ(reporter.Progress().back(), 61);
    EXPECT_EQ(Stored(kEfsType), image);
}

struct SegmentFailure {
    const char* fault;
    const char* lastEntry;
    std::uint32_t elapsedMs;  // virtual time of the whole call; 0 when not checked

    friend void PrintTo(const SegmentFailure& failure, std::ostream* out) { *out << failure.fault; }
};

class SegmentFailureTest : public HighSpeedTest, public ::testing::WithParamInterface<SegmentFailure> {};

TEST_P(SegmentFailureTest, EndsWithItsLogEntryAfterItsWaits)
{
    const SegmentFailure& failure = GetParam();
    Fault(failure.fault);
    OpenEfs();
    const std::string path = Write("efs.bin", Pattern(0x50000, 25));
    const std::uint32_t start = Now();
    EXPECT_EQ(Ended(WriteImageSegmentMode(ctx, path, 51, 80, "efs ")), "failed");
    ASSERT_FALSE(reporter.Entries().empty());
    EXPECT_EQ(reporter.Entries().back(), failure.lastEntry);
    if (failure.elapsedMs) {
        EXPECT_EQ(Now() - start, failure.elapsedMs);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SegmentFailureTest,
    ::testing::Values(
        // The device leaves after the first chunk: the second fails twice, 100 ms apart.
        SegmentFailure{"vanishafter:135168", "Send data failed in high speed", 100},
        // It leaves after the last chunk: 3000 ms, then 600 rounds of 100 ms.
        SegmentFailure{"vanishafter:327680", "download failed,can't receive CRC in 60 s", 3000 + 600 * 100},
        // The CRC comes, no report does: 3000 ms, one CRC round, 9999 pauses of 1 ms.
        SegmentFailure{"written=silent", "write failed,can't receive any response in 10 s", 3000 + 100 + 9999},
        SegmentFailure{"close=silent*3", "ClosePacket failed", 0}));

}  // namespace
