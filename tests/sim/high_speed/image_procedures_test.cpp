// Opening the modem software and file-system images before their transfer,
// with the retries and the log entries of every failure.
#include "high_speed_fixture.h"

namespace {

using namespace flashing;

class HighSpeedImageTest : public HighSpeedTest {};

TEST_F(HighSpeedImageTest, TheModemSoftwareGoesWithItsHeaderInTheChecksumMode)
{
    const Bytes header = Pattern(40, 30);
    Write("amsshd.mbn", header);
    // One byte past two whole blocks: a third block of that byte, whose
    // checksum is its value.
    const Bytes image = Pattern(0x40000 + 1, 31);
    Write("amss.mbn", image);
    EXPECT_TRUE(WriteAmssImage(ctx));
    EXPECT_EQ(modem.Images().at(kAmssType).header, header);
    EXPECT_EQ(Stored(kAmssType), image);
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
    EXPECT_GE(Now() - start, 4000u);
    EXPECT_TRUE(reporter.Entries().empty());

    Fault("open=streamerror:5*6");
    start = Now();
    EXPECT_FALSE(WriteCefsImage(ctx));
    EXPECT_EQ(Count("open"), 12);
    EXPECT_GE(Now() - start, 4000u);
    EXPECT_LT(Now() - start, 4500u);
    EXPECT_EQ(reporter.Entries(), std::vector<std::string>{"Enter Download EFS mode failed"});

    Write("amsshd.mbn", Pattern(40, 35));
    Fault("open=streamerror:5*6");
    EXPECT_FALSE(WriteAmssImage(ctx));
    EXPECT_EQ(reporter.Entries().back(), "enter DownloadAmss mode failed!");
}

TEST_F(HighSpeedImageTest, ADeviceLostInTheChecksumModeFailsTheSegmentModeToo)
{
    // The verdict never comes; the block counts as rejected, the programmer
    // is not ready again, and the segment command finds no device.
    Fault("vanishafter:65536");
    Write("efs.mbn", Pattern(0x30000, 36));
    const std::uint32_t start = Now();
    EXPECT_FALSE(WriteCefsImage(ctx));
    EXPECT_GE(Now() - start, 6000u * 10u + 500u * 10u);
    EXPECT_EQ(reporter.Entries(), std::vector<std::string>{"send high speed command failed!"});
}

}  // namespace
