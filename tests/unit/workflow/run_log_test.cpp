#include "workflow/run_log.h"

#include <gtest/gtest.h>

#include "workflow/line_record.h"

namespace {

// Numbers without leading zeros, then two dashes in code page 936.
TEST(RunLog, EntriesAreStampedAndEndWithNewline)
{
    EXPECT_EQ(FormatTimeStamp({2027, 1, 31, 23, 59, 0}), "2027.1.31 23:59:0\xA1\xAA\xA1\xAA");
    const platform::LocalTime at{2026, 12, 5, 9, 5, 7};
    RunLog log;
    log.Append("Searching...", at);
    const std::string text = log.Append("Downloading...", at);
    log.Append("plain", std::nullopt);
    const std::string stamp = "2026.12.5 9:5:7\xA1\xAA\xA1\xAA";
    EXPECT_EQ(text, stamp + "Searching...\n" + stamp + "Downloading...\n");
    EXPECT_EQ(log.Text(), text + "plain\n");
}

// The image paths' 256-character fields are checked with the image folder.
TEST(LineRecordPaths, TheProgrammerPathHoldsUpTo259Characters)
{
    LineRecord record;
    EXPECT_TRUE(record.ramProgrammerPath.Set(std::string(259, 'y')));
    EXPECT_EQ(record.ramProgrammerPath.Get().size(), 259u);
    EXPECT_FALSE(record.ramProgrammerPath.Set(std::string(260, 'z')));
}

}  // namespace
