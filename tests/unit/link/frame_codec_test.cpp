#include "link/frame_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Ascii(const char* text) { return Bytes(text, text + std::strlen(text)); }

Bytes WithCrc(Bytes payload)
{
    payload.resize(payload.size() + 2);
    frame::AppendCrc(payload.data(), payload.size() - 2);
    return payload;
}

TEST(Crc16, KnownFramesCarryTheCheckValueLowByteFirst)
{
    const Bytes digits = Ascii("123456789");
    EXPECT_EQ(frame::Crc16(digits.data(), digits.size()), 0x906E);
    const std::pair<Bytes, Bytes> cases[] = {
        {digits, {0x6E, 0x90}},
        {{}, {0x00, 0x00}},
        {{0x01}, {0xF1, 0xE1}},
        {{0x06}, {0x4E, 0x95}},
        {{0x05, 0x00, 0x80, 0x00, 0x00}, {0xCF, 0xE5}},
    };
    for (const auto& [payload, crc] : cases) {
        Bytes expected = payload;
        expected.insert(expected.end(), crc.begin(), crc.end());
        EXPECT_EQ(WithCrc(payload), expected);
    }
}

TEST(CheckCrc, AcceptsAnyPayloadFollowedByItsOwnCrc)
{
    for (std::size_t length = 0; length < 300; length += 7) {
        Bytes payload(length);
        for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>(i * 37 + length);
        const Bytes framed = WithCrc(payload);
        EXPECT_TRUE(frame::CheckCrc(framed.data(), framed.size())) << "length " << length;
    }
}

TEST(CheckCrc, RejectsDamageAndTooFewBytes)
{
    Bytes framed = WithCrc(Ascii("123456789"));
    framed[3] ^= 0x01;
    EXPECT_FALSE(frame::CheckCrc(framed.data(), framed.size()));
    EXPECT_FALSE(frame::CheckCrc(framed.data(), 0));
    const std::uint8_t single = 0x00;
    EXPECT_FALSE(frame::CheckCrc(&single, 1));
}

TEST(Crc16, UpdateFromZeroGivesTheRegionChecksum)
{
    // The region checksum runs the same table step from 0x0000 and is then
    // complemented; it can be computed in pieces.
    const Bytes digits = Ascii("123456789");
    std::uint16_t crc = frame::CrcUpdate(0x0000, digits.data(), 4);
    crc = frame::CrcUpdate(crc, digits.data() + 4, 5);
    EXPECT_EQ(static_cast<std::uint16_t>(~crc), 0xDE76);
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

TEST(Escaping, FlagAndEscapeBytesAreEscapedAndRestored)
{
    const Bytes raw{0x7E, 0x01, 0x7D, 0x5E, 0x5D};
    Bytes escaped;
    frame::AppendEscaped(raw.data(), raw.size(), escaped);
    EXPECT_EQ(escaped, (Bytes{0x7D, 0x5E, 0x01, 0x7D, 0x5D, 0x5E, 0x5D}));
    Bytes restored;
    frame::AppendUnescaped(escaped.data(), escaped.size(), restored);
    EXPECT_EQ(restored, raw);

    // An escape byte with nothing behind it is dropped.
    restored.clear();
    const Bytes trailingEscape{0x41, 0x7D};
    frame::AppendUnescaped(trailingEscape.data(), trailingEscape.size(), restored);
    EXPECT_EQ(restored, (Bytes{0x41}));
}

}  // namespace
