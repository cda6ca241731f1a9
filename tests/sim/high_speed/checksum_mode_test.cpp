// The checksum mode against the simulated flash programmer: blocks, their
// checksums, verdicts, progress, and the way out to the segment mode.
#include "high_speed_fixture.h"

namespace {

using namespace flashing;

class ChecksumModeTest : public HighSpeedTest {};

TEST_F(ChecksumModeTest, ABlockIsFollowedByItsChecksumLowByteFirstAndTakes128KiB)
{
    OpenEfs();
    EXPECT_EQ(WriteImageChecksumMode(ctx, Write("abc.bin", {0x61, 0x62, 0x63}), 51, 80, "label "), 1);
    EXPECT_EQ(SentChecksums(), (std::vector<Bytes>{{0x61, 0x62, 0x63, 0x00}}));
    EXPECT_EQ(Stored(kEfsType), (Bytes{0x61, 0x62, 0x63}));
    EXPECT_TRUE(modem.Images().at(kEfsType).closed);
    EXPECT_EQ(reporter.Progress(), (std::vector<int>{51, 80}));
    EXPECT_TRUE(reporter.Entries().empty());

    const Bytes whole = Pattern(0x20000, 2);
    OpenEfs();
    EXPECT_EQ(WriteImageChecksumMode(ctx, Write("whole.bin", whole), 51, 80, ""), 1);
    EXPECT_EQ(SentChecksums().size(), 2u);
    EXPECT_EQ(Stored(kEfsType), whole);
}

TEST_F(ChecksumModeTest, ABlockRejectedOnceIsSentAgain)
{
    modem.faults().blockRejects = 1;
    const Bytes image = Pattern(0x30000, 4);
    OpenEfs();
    EXPECT_EQ(WriteImageChecksumMode(ctx, Write("efs.mbn", image), 51, 80, ""), 1);
    EXPECT_EQ(SentChecksums().size(), 4u);
    EXPECT_EQ(Stored(kEfsType), image);
}

TEST_F(ChecksumModeTest, ABlockRejectedTwiceFailsTheImageWithoutFallingBack)
{
    modem.faults().blockRejects = 2;
    Write("efs.mbn", Pattern(0x30000, 5));
    EXPECT_FALSE(WriteCefsImage(ctx));
    EXPECT_EQ(SentChecksums().size(), 2u);
    EXPECT_EQ(Count("segment"), 0);
    EXPECT_EQ(Count("close"), 0);
    EXPECT_TRUE(reporter.Entries().empty());
}

TEST_F(ChecksumModeTest, AProgrammerNeverReadyGivesUpTheModeAtTheFirstBlock)
{
    modem.faults().neverReady = true;
    OpenEfs();
    const std::uint32_t start = Now();
    EXPECT_EQ(WriteImageChecksumMode(ctx, Write("efs.mbn", Pattern(0x30000, 6)), 51, 80, ""), -1);
    EXPECT_EQ(Now() - start, 500u * 10u);
    EXPECT_TRUE(SentChecksums().empty());
    EXPECT_TRUE(reporter.Entries().empty());
}

TEST_F(ChecksumModeTest, TheSegmentModeResendsTheWholeImageAfterAProgrammerStopsBeingReady)
{
    // The first block is taken; the programmer never gets ready for the next.
    Fault("ready=silent");
    const Bytes image = Pattern(0x50000 + 7, 7);
    Write("efs.mbn", image);
    EXPECT_TRUE(WriteCefsImage(ctx));
    EXPECT_EQ(SentChecksums().size(), 1u);
    ASSERT_EQ(Count("segment"), 1);
    for (const auto& request : modem.Received()) {
        if (request.name != "segment") continue;
        const Bytes& p = request.payload;
        EXPECT_EQ(static_cast<std::uint32_t>(p[5] << 24 | p[6] << 16 | p[7] << 8 | p[8]), image.size());
    }
    EXPECT_EQ(Stored(kEfsType), image);
}

TEST_F(ChecksumModeTest, FailuresBeforeAndAfterTheBlocks)
{
    // Nothing to send: 0, nothing logged.
    EXPECT_EQ(WriteImageChecksumMode(ctx, (folder / "missing.bin").string(), 51, 80, ""), 0);
    EXPECT_EQ(WriteImageChecksumMode(ctx, Write("empty.bin", {}), 51, 80, ""), 0);
    EXPECT_EQ(Count("checksum"), 0);
    EXPECT_TRUE(reporter.Entries().empty());

    // The image closed with no answer: 0, nothing logged.
    Fault("close=silent*3");
    OpenEfs();
    EXPECT_EQ(WriteImageChecksumMode(ctx, Write("efs.mbn", Pattern(100, 8)), 51, 80, ""), 0);
    EXPECT_TRUE(reporter.Entries().empty());
    EXPECT_EQ(reporter.Progress(), std::vector<int>{51});

    // An announcement that cannot be written leaves the segment mode to try.
    line.protocol.port.Close();
    EXPECT_EQ(WriteImageChecksumMode(ctx, Write("efs.mbn", Pattern(100, 8)), 51, 80, ""), -1);
    EXPECT_EQ(reporter.Entries(), std::vector<std::string>{"Fail to open  checksum high speed mode !"});
}

// The modem software's 122 blocks, too many to send in every run: the bar
// rises from 26 and the last block shows 49; only the closed image shows 50.
TEST(ChecksumModeProgress, StaysBelowTheEndOfItsRange)
{
    std::vector<int> shown;
    for (std::uint32_t i = 0; i < 122; ++i) shown.push_back(ChecksumBlockProgress(26, 50, i, 122));
    EXPECT_EQ(shown.front(), 26);
    EXPECT_EQ(shown.back(), 49);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    // A range without room stays where it is.
    EXPECT_EQ(ChecksumBlockProgress(60, 60, 0, 1), 60);
}

}  // namespace
