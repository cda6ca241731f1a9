// What the Windows window decides on its own: the tests' time scale (the
// terminal's option takes the same) and where the uninstaller is looked
// for; and the form's resource texts.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "app/form_state.h"
#include "app/terminal_options.h"
#include "app/window_policy.h"

namespace {

TEST(WindowPolicyTest, TimeScaleIsANumberFromATenthToAHundred)
{
    const struct {
        const char* value;
        double scale;  // 0: refused
    } cases[] = {
        {"10", 10}, {"0.1", 0.1}, {"100", 100}, {"2.5", 2.5},
        {"0.09", 0}, {"101", 0}, {"0", 0}, {"-5", 0}, {"", 0}, {"10x", 0}, {"nan", 0}, {"inf", 0}, {"1e-7", 0}, {"1e9", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::string note;
        const std::optional<double> scale = app::ParseTimeScale(c.value, note);
        EXPECT_EQ(scale.value_or(0), c.scale);
        EXPECT_EQ(note.empty(), c.scale != 0);
        // The terminal's option takes the same rule.
        std::string program = "upgrader", option = "--time-scale", value = c.value;
        char* argv[] = {program.data(), option.data(), value.data()};
        bool help = false;
        const std::optional<app::TerminalOptions> options = app::ParseTerminalOptions(3, argv, help);
        EXPECT_EQ(options ? options->timeScale : 0, c.scale);
    }
    EXPECT_EQ(app::TimeScaleNote(10), "Time scale 10: every wait runs 10 times faster than written.");
}

TEST(WindowPolicyTest, TheStatusControlShowsTheRunLogsNewestEntry)
{
    EXPECT_EQ(app::NewestEntry("Searching..."), "Searching...");
    EXPECT_EQ(app::NewestEntry("t1——Searching...\nt2——Downloading...\n"), "t2——Downloading...");
    EXPECT_EQ(app::NewestEntry("t1——one\n\n"), "t1——one");
    EXPECT_EQ(app::NewestEntry(""), "");
}

TEST(WindowPolicyTest, UninstallerIsLookedForBesideTheProgramOnly)
{
    EXPECT_EQ(app::BesideProgram(L"C:\\Tools\\Modem\\upgrader.exe", L"UnInstallAll.exe"),
              L"C:\\Tools\\Modem\\UnInstallAll.exe");
    EXPECT_EQ(app::BesideProgram(L"\\\\server\\share\\upgrader.exe", L"UnInstallAll.exe"),
              L"\\\\server\\share\\UnInstallAll.exe");
    // A bare name would mean the current folder: nothing is started.
    EXPECT_EQ(app::BesideProgram(L"upgrader.exe", L"UnInstallAll.exe"), L"");
    EXPECT_EQ(app::BesideProgram(L"", L"UnInstallAll.exe"), L"");
}

// The resource script holds every fixed text of the form byte for byte, in
// the form's order, as the resource compiler reads it ("" for a quote).
TEST(WindowPolicyTest, FormTemplateHoldsTheFormsTextsInOrder)
{
    std::ifstream in(UPGRADER_FORM_RC, std::ios::binary);
    ASSERT_TRUE(in) << UPGRADER_FORM_RC;
    const std::string script{std::istreambuf_iterator<char>(in), {}};
    std::vector<std::string> texts;
    for (const app::FixedText& fixed : app::FixedTexts()) texts.emplace_back(fixed.text);
    for (const char* text : {app::kPortCaption, app::kSearching, app::kVersionCaption, app::kSearching, "Waiting...",
                             app::kRatioCaption, "0/100", app::kStartButton}) {
        texts.emplace_back(text);
    }
    std::size_t at = script.find("IDD_FORM DIALOGEX");
    ASSERT_NE(at, std::string::npos);
    for (const std::string& text : texts) {
        std::string quoted = "\"";
        for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
        at = script.find(quoted + "\",", at);
        ASSERT_NE(at, std::string::npos) << text;
        ++at;
    }
}

}  // namespace
