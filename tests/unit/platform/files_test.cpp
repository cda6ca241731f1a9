#include <gtest/gtest.h>

#ifndef _WIN32
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

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

// The state folder never depends on the current folder, nor is it the root
// folder; what may be written is a folder, or is made in one.
TEST(StateDirectory, OnlyAnAbsoluteFolderOfItsOwnIsTaken)
{
    const char* names[] = {"UPGRADER_STATE_DIR", "XDG_STATE_HOME", "HOME"};
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; ++i) {
        if (const char* value = std::getenv(names[i])) saved[i] = value;
    }
    const char* const cases[][5] = {  // the three variables (null: unset), the folder, the refusal
        {"/s", "/x", "/h", "/s", ""},
        {nullptr, "/x", "/h", "/x/upgrader", ""},
        {"s", "/x", "/h", "s", "UPGRADER_STATE_DIR=s is not an absolute path: set it to the absolute path of a folder for this program"},
        {"/tmp/..", nullptr, "/h", "/tmp/..", "UPGRADER_STATE_DIR=/tmp/.. is the root folder: set it to a folder of this program's own"},
        {nullptr, "x", "/h", "x/upgrader", "XDG_STATE_HOME=x is not an absolute path: set it to an absolute path, or set UPGRADER_STATE_DIR to one"},
        {nullptr, nullptr, nullptr, "./.local/state/upgrader", "HOME is not set: set it, or set UPGRADER_STATE_DIR to an absolute path"},
    };
    for (const auto& c : cases) {
        for (int i = 0; i < 3; ++i) c[i] ? ::setenv(names[i], c[i], 1) : ::unsetenv(names[i]);
        std::string problem;
        EXPECT_EQ(platform::CheckStateDirectory(problem), *c[4] == '\0') << c[4];
        EXPECT_EQ(problem, c[4]);
        EXPECT_EQ(platform::StateDirectory(), c[3]);
    }
    for (int i = 0; i < 3; ++i) saved[i] ? ::setenv(names[i], saved[i]->c_str(), 1) : ::unsetenv(names[i]);

    TempFolder folder("writable");
    std::ofstream(folder / "file") << "x";
    std::string error;
    EXPECT_TRUE(platform::CheckWritableFolder((folder / "state/firmware").string(), error)) << error;
    EXPECT_FALSE(platform::CheckWritableFolder((folder / "file/firmware").string(), error));
    EXPECT_EQ(error, (folder / "file").string() + " is not a folder: move it away, or set UPGRADER_STATE_DIR to another folder");
}

}  // namespace
#endif
