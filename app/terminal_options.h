#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace app {

// The command line's help text: options and exit statuses.
extern const char kTerminalUsage[];

struct TerminalOptions {
    bool yes = false;
    bool autoStart = false;
    double timeScale = 0;  // 0: real time
    std::string portsDir;
    std::string registryFile;
    std::string usbTable;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> devices;
};

// The options of a command line; nothing when it is wrong. `help` is set
// when the help text was asked for.
std::optional<TerminalOptions> ParseTerminalOptions(int argc, char** argv, bool& help);

}  // namespace app
