#include "link/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Hex(const md5::Digest& digest)
{
    std::string text;
    for (std::uint8_t b : digest) text += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return text;
}

std::string Md5(const std::string& text)
{
    return Hex(md5::Compute(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(Md5, ReferenceDigestsUpToTwoBlocksWholeAndPiecewise)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, digest] : cases) {
        EXPECT_EQ(Md5(text), digest) << text;
        md5::Hasher hasher;
        for (char c : text) hasher.Update(reinterpret_cast<const std::uint8_t*>(&c), 1);
        EXPECT_EQ(Hex(hasher.Finish()), digest) << "byte by byte: " << text;
    }
}

}  // namespace
