#include "app/terminal_options.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// The window's range: a smaller scale keeps a signal waiting for minutes,
// a larger one spins every wait.
TEST(TerminalOptions, TheTimeScaleIsANumberFromATenthToAHundred)
{
    for (const auto& [value, scale] : {std::pair{"10", 10.0}, {"0.1", 0.1}, {"100", 100.0}, {"1e-7", 0.0}, {"0.09", 0.0},
                                       {"1e9", 0.0}, {"101", 0.0}, {"0", 0.0}, {"ten", 0.0}}) {
        std::string program = "upgrader", option = "--time-scale", text = value;
        char* argv[] = {program.data(), option.data(), text.data()};
        bool help = false;
        const auto options = app::ParseTerminalOptions(3, argv, help);
        EXPECT_EQ(options ? options->timeScale : 0.0, scale) << value;
    }
}

}  // namespace
