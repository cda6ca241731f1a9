// Program and device texts as the terminal front end shows them.
#include <gtest/gtest.h>

#include "app/terminal_text.h"

namespace {

TEST(TerminalText, TheProgramsOwnDoubleByteCharactersBecomeUtf8)
{
    EXPECT_EQ(app::TerminalText("2026.12.5 9:5:7\xA1\xAA\xA1\xAA" "Downloading..."),
              "2026.12.5 9:5:7\xE2\x80\x94\xE2\x80\x94" "Downloading...");
    EXPECT_EQ(app::TerminalText("Line1 fail\xA3\xACplease reset the stick manually"),
              "Line1 fail\xEF\xBC\x8Cplease reset the stick manually");
}

TEST(TerminalText, DeviceTextCannotControlTheTerminal)
{
    EXPECT_EQ(app::TerminalText("M62\x1b[2J\x1b]0;x\a80A\r\n"), "M62?[2J?]0;x?80A??");
    EXPECT_EQ(app::TerminalText("\x7f"), "?");
    // Other double-byte characters are one unknown character each; a lead
    // byte without its trail is a stray byte.
    EXPECT_EQ(app::TerminalText("a\xB0\xA1z"), "a?z");
    EXPECT_EQ(app::TerminalText("a\xA1"), "a?");
    EXPECT_EQ(app::TerminalText("\xA1\x1b"), "??");
}

TEST(ProgressDetails, ElapsedTimeImageRateAndTimeLeftOnceKnown)
{
    using namespace std::chrono_literals;
    app::RunPace pace;
    pace.elapsed = 9s;
    EXPECT_EQ(app::ProgressDetails(pace), "Elapsed 0:09");
    EXPECT_EQ(app::PlainPace(pace), "time: 9.0 s elapsed\n");
    pace.elapsed = 135s;
    pace.image = "amss.mbn";
    pace.done = 5 * 1024 * 1024 + 256 * 1024;
    pace.total = 15902054;
    pace.left = 190449ms;
    EXPECT_EQ(app::ProgressDetails(pace), "Elapsed 2:15   amss.mbn 5.2 of 15.2 MiB   about 3:10 left");
    EXPECT_EQ(app::PlainPace(pace), "time: 135.0 s elapsed, about 190.4 s left\n");
    pace.bytesPerSecond = 1.3 * 1024 * 1024;
    EXPECT_EQ(app::ProgressDetails(pace), "Elapsed 2:15   amss.mbn 5.2 of 15.2 MiB at 1.3 MiB/s   about 3:10 left");
    pace.image.clear();
    pace.left.reset();
    EXPECT_EQ(app::ProgressDetails(pace), "Elapsed 2:15");
}

}  // namespace
