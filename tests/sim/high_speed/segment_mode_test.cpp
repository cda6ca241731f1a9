// The segment mode against the simulated flash programmer: segments, the CRC
// reply, written reports, progress and every way it fails.
#include "high_speed_fixture.h"
#include "link/frame_codec.h"

namespace {

using namespace flashing;

class SegmentModeTest : public HighSpeedTest {};

// Too large to send in every run.
TEST(SegmentSizes, AnImageOfExactlyTenMiBIsOneSegment)
{
    EXPECT_EQ(SegmentSizes(10'485'760), std::vector<std::uint32_t>{10'485'760});
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

TEST_F(SegmentModeTest, AWrongCrcReplyNamesBothPairsInDecimal)
{
    modem.faults().wrongSegmentCrc = true;
    const Bytes image = Pattern(5000, 22);
    const auto ours = static_cast<std::uint16_t>(~frame::CrcUpdate(0, image.data(), image.size()));
    const auto theirs = static_cast<std::uint16_t>(ours + 1);
    OpenEfs();
    EXPECT_EQ(WriteImageSegmentMode(ctx, Write("efs.bin", image), 51, 80, "efs "), 0);
    const std::string expected = "CRC check failed,Send CRC is CRC1=" + std::to_string(ours & 0xFF) +
                                 " CRC2=" + std::to_string(ours >> 8) + ";The Phone return is CRC1=" +
                                 std::to_string(theirs & 0xFF) + " CRC2=" + std::to_string(theirs >> 8);
    EXPECT_EQ(reporter.Entries().back(), expected);
    EXPECT_EQ(Count("close"), 0);
}

TEST_F(SegmentModeTest, ProgressRangesWithoutRoomDoNotStopTheTransfer)
{
    const Bytes image = Pattern(0x50000, 23);
    OpenEfs();
    EXPECT_EQ(WriteImageSegmentMode(ctx, Write("one.bin", image), 60, 60, ""), 1);
    for (int percent : reporter.Progress()) EXPECT_EQ(percent, 60);
    OpenEfs();
    EXPECT_EQ(WriteImageSegmentMode(ctx, Write("two.bin", image), 60, 61, ""), 1);
    EXPECT_EQ(reporter.Progress().back(), 61);
    EXPECT_EQ(Stored(kEfsType), image);
}

TEST_F(SegmentModeTest, FailuresBeforeAnyData)
{
    EXPECT_EQ(WriteImageSegmentMode(ctx, (folder / "missing.bin").string(), 51, 80, ""), 0);
    EXPECT_EQ(reporter.Entries(), std::vector<std::string>{"open file failed!"});
    EXPECT_EQ(WriteImageSegmentMode(ctx, Write("empty.bin", {}), 51, 80, ""), 0);
    EXPECT_EQ(reporter.Entries().size(), 1u);
    EXPECT_EQ(Count("segment"), 0);

    line.protocol.port.Close();
    EXPECT_EQ(WriteImageSegmentMode(ctx, Write("efs.bin", Pattern(10, 24)), 51, 80, ""), 0);
    EXPECT_EQ(reporter.Entries().back(), "send high speed command failed!");
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
    EXPECT_EQ(WriteImageSegmentMode(ctx, path, 51, 80, "efs "), 0);
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
