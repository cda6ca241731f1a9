#include "link/frame_codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Crc16, KnownFramesCarryTheCheckValueLowByteFirstAndPassTheCheck)
{
    const char* digits = "123456789";
    EXPECT_EQ(frame::Crc16(reinterpret_cast<const std::uint8_t*>(digits), 9), 0x906E);
    const std::pair<Bytes, Bytes> cases[] = {
        {Bytes(digits, digits + 9), {0x6E, 0x90}},
        {{}, {0x00, 0x00}},
    };
    for (const auto& [payload, crc] : cases) {
        Bytes framed = payload;
        framed.resize(payload.size() + 2);
        frame::AppendCrc(framed.data(), payload.size());
        EXPECT_EQ(Bytes(framed.end() - 2, framed.end()), crc);
        EXPECT_TRUE(frame::CheckCrc(framed.data(), framed.size()));
        framed[0] ^= 0x01;
        EXPECT_FALSE(frame::CheckCrc(framed.data(), framed.size()));
    }
    const std::uint8_t single = 0x00;
    EXPECT_FALSE(frame::CheckCrc(&single, 1));
    EXPECT_FALSE(frame::CheckCrc(&single, 0));
}

TEST(BlockChecksum, AddsLittleEndianWordsModulo32BitsWithAZeroPaddedTail)
{
    const std::pair<Bytes, std::uint32_t> cases[] = {
        {{0x61, 0x62, 0x63}, 0x00636261u},
        {{0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}, 0x00000002u},
        {{0x78, 0x56, 0x34, 0x12, 0x01, 0x01, 0x01, 0x01}, 0x13355779u},
    };
    for (const auto& [bytes, sum] : cases) EXPECT_EQ(frame::BlockChecksum(bytes.data(), bytes.size()), sum);
}

}  // namespace
