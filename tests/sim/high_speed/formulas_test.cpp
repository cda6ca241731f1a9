// The arithmetic of the high-speed transfer at the shipped image sizes,
// which would take too long to send in every run.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "flashing/high_speed_download.h"

namespace {

using namespace flashing;
using Bytes = std::vector<std::uint8_t>;

TEST(ChecksumMode, BlockCountsAndProgressOfTheShippedImages)
{
    EXPECT_EQ(ChecksumBlockCount(0x20000), 1u);
    EXPECT_EQ(ChecksumBlockCount(0x20001), 2u);
    EXPECT_EQ(ChecksumBlockCount(15'902'054), 122u);
    EXPECT_EQ(ChecksumBlockCount(18'648'064), 143u);

    // The modem software: the bar rises from 26 and the last block shows 49;
    // only the closed image shows 50.
    std::vector<int> shown;
    for (std::uint32_t i = 0; i < 122; ++i) shown.push_back(ChecksumBlockProgress(26, 50, i, 122));
    EXPECT_EQ(shown.front(), 26);
    EXPECT_EQ(shown.back(), 49);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    EXPECT_EQ(ChecksumBlockProgress(51, 80, 71, 143), 65);
    // A range without room still stays below its end.
    EXPECT_EQ(ChecksumBlockProgress(60, 60, 0, 1), 59);
}

TEST(SegmentMode, SegmentsMiddlesAndStepsOfTheShippedImages)
{
    EXPECT_EQ(SegmentSizes(15'902'054), (std::vector<std::uint32_t>{10'485'760, 5'416'294}));
    EXPECT_EQ(SegmentSizes(18'648'064), (std::vector<std::uint32_t>{10'485'760, 8'162'304}));
    EXPECT_EQ(SegmentSizes(0xA00000), (std::vector<std::uint32_t>{0xA00000}));
    EXPECT_TRUE(SegmentSizes(0).empty());

    EXPECT_EQ(SegmentMiddle(26, 50), 42);
    EXPECT_EQ(SegmentMiddle(51, 80), 71);
    // 77 whole chunks over 16 points, 80 reports over 8 points.
    EXPECT_EQ(ChunksPerStep(10'485'760, 26, 42), 4u);
    EXPECT_EQ(ReportsPerStep(10'485'760, 42, 50), 10u);
    EXPECT_EQ(ChunksPerStep(8'162'304, 51, 71), 3u);
    EXPECT_EQ(ReportsPerStep(8'162'304, 71, 80), 6u);
}

TEST(SegmentMode, NarrowRangesAndSmallSegmentsStillStep)
{
    EXPECT_EQ(SegmentMiddle(60, 61), 60);
    EXPECT_EQ(ChunksPerStep(10'485'760, 60, 60), 77u);
    EXPECT_EQ(ReportsPerStep(10'485'760, 60, 60), 80u);
    EXPECT_EQ(ChunksPerStep(1000, 26, 42), 1u);
    EXPECT_EQ(ReportsPerStep(1000, 42, 50), 1u);
}

}  // namespace
