// The sentences the system fills in: placeholders in turn, the rest as it is.
#include <gtest/gtest.h>

#include "link/sentence.h"

TEST(Sentence, FillsEachPlaceholderInTurnAndLeavesTheRest)
{
    EXPECT_EQ(Sentence("cannot read #%d NVItem, since %s", {"1801", "Bad command"}),
              "cannot read #1801 NVItem, since Bad command");
    EXPECT_EQ(Sentence("has writed:0x%X", {Hex(0x9FFFFF)}) + Hex(0), "has writed:0x9FFFFF0");
    // A reason holding a placeholder is not filled again; one without a
    // value, and other percent signs, stay.
    EXPECT_EQ(Sentence("Since %s", {"50%d off"}), "Since 50%d off");
    EXPECT_EQ(Sentence("%d of %d at 5%", {"3"}), "3 of %d at 5%");
}
