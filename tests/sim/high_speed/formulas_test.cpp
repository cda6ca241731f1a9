// The high-speed arithmetic where the simulated runs cannot reach it: an
// exactly full segment, and progress over the many blocks of a shipped image.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "flashing/high_speed_download.h"

namespace {

using namespace flashing;

TEST(HighSpeedFormulas, AFullSegmentIsOneAndTheBarStaysBelowItsEnd)
{
    EXPECT_EQ(SegmentSizes(10'485'760), std::vector<std::uint32_t>{10'485'760});

    // The modem software's 122 blocks: the bar rises from 26 and the last
    // block shows 49; only the closed image shows 50.
    std::vector<int> shown;
    for (std::uint32_t i = 0; i < 122; ++i) shown.push_back(ChecksumBlockProgress(26, 50, i, 122));
    EXPECT_EQ(shown.front(), 26);
    EXPECT_EQ(shown.back(), 49);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    // A range without room still stays below its end.
    EXPECT_EQ(ChecksumBlockProgress(60, 60, 0, 1), 59);
}

}  // namespace
