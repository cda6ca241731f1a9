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
    EXPECT_EQ(app::TerminalText("Ready. Now press the \"UPDATE\" button"), "Ready. Now press the \"UPDATE\" button");
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

}  // namespace
