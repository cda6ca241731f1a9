#pragma once

#include <string>
#include <string_view>

namespace platform {

// Appends `text` to the file at `path`, creating the file and its folder
// when missing.
[[nodiscard]] bool AppendToFile(const std::string& path, std::string_view text);

// Creates `path` and its missing parents; on POSIX new folders are private
// to the user (0700). True when the folder exists afterwards.
[[nodiscard]] bool EnsureDirectory(const std::string& path);

#ifndef _WIN32
// The per-user folder for this program's state on Linux:
// $UPGRADER_STATE_DIR, else $XDG_STATE_HOME/upgrader, else
// $HOME/.local/state/upgrader.
std::string StateDirectory();
// Where port numbers are resolved: $UPGRADER_PORTS_DIR, else
// <state directory>/ports, holding links com<N> to serial devices.
std::string PortsDirectory();
#endif

// The byte log that the framing layer appends failure codes to:
// C:\ByteLog.txt on Windows, <state directory>/ByteLog.txt on Linux.
std::string ByteLogPath();

}  // namespace platform
