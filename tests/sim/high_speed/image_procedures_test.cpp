// Opening the modem software and file-system images before their transfer,
// with the retries and the log entries of every failure.
#include "high_speed_fixture.h"

namespace {

using namespace flashing;

class HighSpeedImageTest : public HighSpeedTest {};

TEST_F(HighSpeedImageTest, TheModemSoftwareGoesWithItsHeaderInTheChecksumMode)
{
    const Bytes header = Pattern(40, 30);
    const Bytes image = Pattern(0x40000 + 3, 31);
    line.record.amssHeaderPath.Set(File("amsshd.mbn", header));
    line.record.amssPath.Set(File("amss.mbn", image));
    EXPECT_TRUE(WriteAmssImage(context));
    EXPECT_EQ(modem.Images().at(kAmssType).header, header);
    EXPECT_EQ(Stored(kAmssType), image);
    EXPECT_EQ(Count("segment"), 0);
    EXPECT_EQ(reporter.Progress(), (std::vector<int>{26, 34, 42, 50}));
    EXPECT_TRUE(reporter.Entries().empty());
}

TEST_F(HighSpeedImageTest, AModemSoftwareHeaderThatCannotBeSentStopsBeforeTheImage)
{
    line.record.amssPath.Set(File("amss.mbn", Pattern(100, 32)));
    line.record.amssHeaderPath.Set((folder / "missing.mbn").string());
    EXPECT_FALSE(WriteAmssImage(context));
    line.record.amssHeaderPath.Set(File("amsshd.mbn", {}));
    EXPECT_FALSE(WriteAmssImage(context));
    // Too long for one request: refused three times without reaching the device.
    line.record.amssHeaderPath.Set(File("amsshd.mbn", Pattern(1025, 33)));
    EXPECT_FALSE(WriteAmssImage(context));
    EXPECT_EQ(reporter.Entries(), (std::vector<std::string>{"open amsshd file failed!", "amsshd file length wrong",
                                                            "enter DownloadAmss mode failed!"}));
    EXPECT_EQ(Count("open"), 0);
}

TEST_F(HighSpeedImageTest, OpeningIsTriedThreeTimesWithPausesOf1000And3000Ms)
{
    // Each try is a request sent up to twice; five refusals leave the third try.
    ASSERT_TRUE(Fault("open=streamerror:5*5"));
    line.record.efsPath.Set(File("efs.bin", Pattern(0x100, 34)));
    std::uint32_t start = Now();
    EXPECT_TRUE(WriteCefsImage(context));
    EXPECT_EQ(Count("open"), 6);
    EXPECT_GE(Now() - start, 4000u);
    EXPECT_TRUE(reporter.Entries().empty());

    ASSERT_TRUE(Fault("open=streamerror:5*6"));
    start = Now();
    EXPECT_FALSE(WriteCefsImage(context));
    EXPECT_EQ(Count("open"), 12);
    EXPECT_GE(Now() - start, 4000u);
    EXPECT_LT(Now() - start, 4500u);
    EXPECT_EQ(reporter.Entries(), std::vector<std::string>{"Enter Download EFS mode failed"});

    line.record.amssHeaderPath.Set(File("amsshd.mbn", Pattern(40, 35)));
    ASSERT_TRUE(Fault("open=streamerror:5*6"));
    EXPECT_FALSE(WriteAmssImage(context));
    EXPECT_EQ(reporter.Entries().back(), "enter DownloadAmss mode failed!");
}

TEST_F(HighSpeedImageTest, ADeviceLostInTheChecksumModeFailsTheSegmentModeToo)
{
    // The verdict never comes; the block counts as rejected, the programmer
    // is not ready again, and the segment command finds no device.
    ASSERT_TRUE(Fault("vanishafter:65536"));
    line.record.efsPath.Set(File("efs.bin", Pattern(0x30000, 36)));
    const std::uint32_t start = Now();
    EXPECT_FALSE(WriteCefsImage(context));
    EXPECT_GE(Now() - start, 6000u * 10u + 500u * 10u);
    EXPECT_EQ(reporter.Entries(), std::vector<std::string>{"send high speed command failed!"});
}

}  // namespace
