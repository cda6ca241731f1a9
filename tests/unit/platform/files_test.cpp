#include <gtest/gtest.h>

#ifndef _WIN32
#include "platform/files.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;

// The byte log grows in its own file only: a link at its name, symbolic or
// hard, is refused and what it leads to keeps its bytes.
TEST(AppendToFile, CreatesItsFileAndNeverAppendsThroughALink)
{
    TempFolder folder("append");
    const fs::path log = folder / "state" / "ByteLog.txt", other = folder / "other";
    ASSERT_TRUE(platform::AppendToFile(log.string(), "Log: 1\r\n"));
    ASSERT_TRUE(platform::AppendToFile(log.string(), "Log: 2\r\n"));
    EXPECT_EQ(ReadFile(log), (Bytes{'L', 'o', 'g', ':', ' ', '1', '\r', '\n', 'L', 'o', 'g', ':', ' ', '2', '\r', '\n'}));

    WriteFile(other, {1, 2});
    fs::remove(log);
    fs::create_symlink(other, log);
    EXPECT_FALSE(platform::AppendToFile(log.string(), "Log: 3\r\n"));
    fs::remove(log);
    fs::create_hard_link(other, log);
    EXPECT_FALSE(platform::AppendToFile(log.string(), "Log: 3\r\n"));
    EXPECT_EQ(ReadFile(other), (Bytes{1, 2}));
}

}  // namespace
#endif
