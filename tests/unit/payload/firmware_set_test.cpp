// The synthetic firmware set the build generates, as far as the simulated
// runs rely on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "test_files.h"

namespace {

constexpr std::uint8_t kCheckMagic[] = {0x2C, 0x1A, 0xBE, 0x6E};
constexpr std::size_t kChecksumBlock = 0x20000;

Bytes Generated(std::string_view name) { return ReadFile(std::filesystem::path(UPGRADER_SYNTHETIC_FIRMWARE_DIR) / name); }

TEST(SyntheticPayloadSet, ModemSoftwareHasOneWordAlignedCheckBlockAfterAnUnalignedDecoy)
{
    const auto amss = Generated("amss.mbn");
    std::vector<std::size_t> magics;
    for (auto it = amss.begin();
         (it = std::search(it, amss.end(), std::begin(kCheckMagic), std::end(kCheckMagic))) != amss.end(); ++it) {
        magics.push_back(static_cast<std::size_t>(it - amss.begin()));
    }
    ASSERT_EQ(magics.size(), 2u);
    EXPECT_NE(magics[0] % 4, 0u);
    EXPECT_EQ(magics[1] % 4, 0u);
    EXPECT_LE(magics[1] + 128, amss.size());
}

// Any set, small or not, exercises several checksum-mode blocks.
TEST(SyntheticPayloadSet, LargeImagesSpanSeveralChecksumBlocks)
{
    EXPECT_GT(Generated("amss.mbn").size(), 2 * kChecksumBlock);
    EXPECT_GT(Generated("efs.mbn").size(), 2 * kChecksumBlock);
}

}  // namespace
