#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "test_files.h"

namespace {

constexpr std::uint8_t kCheckMagic[] = {0x2C, 0x1A, 0xBE, 0x6E};
constexpr std::size_t kChecksumBlock = 0x20000;

Bytes Generated(std::string_view name) { return ReadFile(std::filesystem::path(UPGRADER_SYNTHETIC_FIRMWARE_DIR) / name); }

std::array<std::uint32_t, 10> HeaderWords(const std::vector<std::uint8_t>& header)
{
    std::array<std::uint32_t, 10> words{};
    for (std::size_t i = 0; i < words.size() && 4 * i + 3 < header.size(); ++i) {
        const std::uint8_t* word = &header[4 * i];
        words[i] = word[0] | word[1] << 8 | word[2] << 16 | static_cast<std::uint32_t>(word[3]) << 24;
    }
    return words;
}

TEST(SyntheticPayloadSet, HeadersDescribeTheirImages)
{
    struct Case {
        const char* header;
        std::uint32_t kind;
        const char* image;
        std::size_t headerBytesInImage;
    };
    for (const Case& c : {Case{"amsshd.mbn", 2, "amss.mbn", 0}, Case{"oemsblhd.mbn", 1, "oemsbl.mbn", 0},
                          Case{"nandprghd.mbn", 5, "nandprgcombined.mbn", 40}}) {
        SCOPED_TRACE(c.header);
        const auto header = Generated(c.header);
        ASSERT_EQ(header.size(), 40u);
        const auto words = HeaderWords(header);
        EXPECT_EQ(words[0], c.kind);
        EXPECT_EQ(words[1], 3u);
        EXPECT_EQ(words[4], Generated(c.image).size() - c.headerBytesInImage);
        // Code, signature and certificate chain make up the image.
        EXPECT_EQ(words[5] + words[7] + words[9], words[4]);
    }
}

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

TEST(SyntheticPayloadSet, ProgrammersBeginWithTheNandProgrammerHeader)
{
    const auto header = Generated("nandprghd.mbn");
    for (const char* name : {"armprg.bin", "nandprgcombined.mbn"}) {
        const auto image = Generated(name);
        ASSERT_GE(image.size(), header.size()) << name;
        EXPECT_TRUE(std::equal(header.begin(), header.end(), image.begin())) << name;
    }
}

// Any set, small or not, exercises several checksum-mode blocks.
TEST(SyntheticPayloadSet, LargeImagesSpanSeveralChecksumBlocks)
{
    EXPECT_GT(Generated("amss.mbn").size(), 2 * kChecksumBlock);
    EXPECT_GT(Generated("efs.mbn").size(), 2 * kChecksumBlock);
}

}  // namespace
