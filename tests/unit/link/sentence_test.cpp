// The sentences the system fills in: placeholders in turn, the rest as it is.
#include <gtest/gtest.h>

#include "link/sentence.h"

namespace {

TEST(Sentence, FillsEachPlaceholderInTurnAndLeavesTheRest)
{
    EXPECT_EQ(Sentence("cannot read #%d NVItem, since %s", {"1801", "Bad command"}),
              "cannot read #1801 NVItem, since Bad command");
    EXPECT_EQ(Sentence("has writed:0x%X", {Hex(0x9FFFFF)}), "has writed:0x9FFFFF");
    // A reason that itself holds a placeholder is not filled again.
    EXPECT_EQ(Sentence("Cannot Reset the Phone, Since %s", {"50%d off"}), "Cannot Reset the Phone, Since 50%d off");
    // Placeholders without a value, and other percent signs, stay.
    EXPECT_EQ(Sentence("%d of %d at 5%", {"3"}), "3 of %d at 5%");
    EXPECT_EQ(Sentence("Line%d fail\xA3\xACplease reset the stick manually", {"2"}),
              "Line2 fail\xA3\xACplease reset the stick manually");
}

TEST(Sentence, HexWritesUpperCaseWithoutLeadingZeros)
{
    EXPECT_EQ(Hex(0), "0");
    EXPECT_EQ(Hex(0x30004), "30004");
    EXPECT_EQ(Hex(0xFFFFFFFFu), "FFFFFFFF");
}

}  // namespace
