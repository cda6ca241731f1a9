#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// Appends `text` to the file at `path`, creating the file and its folder
// when missing. On POSIX a link at `path`, symbolic or hard, is refused
// rather than written through.
[[nodiscard]] bool AppendToFile(const std::string& path, std::string_view text);

// Puts a new file holding `bytes` at `path`, whatever is there: the bytes
// go into `temporary` (beside it, created anew, never through a link, with
// anything already at that name removed first), which is then renamed over
// `path`. A link at `path` is replaced, not followed, and a file that
// shares its data with `path` keeps its bytes. With `durable` the bytes
// reach the disk before the rename. On failure `temporary` is gone, `path`
// is as it was and `cause` is the errno of the call that failed.
[[nodiscard]] bool ReplaceFile(const std::string& path, const std::string& temporary, std::span<const std::uint8_t> bytes,
                               bool durable, int& cause);

// Creates `path` and its missing parents; on POSIX new folders are private
// to the user (0700). True when the folder exists afterwards.
[[nodiscard]] bool EnsureDirectory(const std::string& path);

#ifndef _WIN32
// The per-user folder for this program's state on Linux:
// $UPGRADER_STATE_DIR, else $XDG_STATE_HOME/upgrader, else
// $HOME/.local/state/upgrader.
std::string StateDirectory();
// Whether the variables behind StateDirectory name a folder that does not
// depend on the current folder and is not the root folder; false with a
// sentence that says what to set instead.
[[nodiscard]] bool CheckStateDirectory(std::string& error);
// Whether this user may write `folder`, or create it: the nearest part of
// its path that exists must be a folder this user may write. False with a
// sentence that names that part and says what to do.
[[nodiscard]] bool CheckWritableFolder(const std::string& folder, std::string& error);
// Where port numbers are resolved: $UPGRADER_PORTS_DIR, else
// <state directory>/ports, holding links com<N> to serial devices.
std::string PortsDirectory();

enum class FileRead { Read, Missing, Refused };
// Reads the regular file at `path` whole when it holds at most `limit`
// bytes. Anything else is refused without waiting or reading on (a folder,
// a FIFO, a device, a larger file, one that cannot be opened); `why` then
// ends the sentence "<path> ...", such as "is not a regular file".
FileRead ReadRegularFile(const std::string& path, std::size_t limit, std::string& text, std::string& why);

// Opens /dev/null on whichever of standard input, output and error is
// closed, so that no file the program opens later takes their place (and
// receives what is printed, or is read as the keyboard). False when
// /dev/null cannot be opened.
[[nodiscard]] bool ReserveStandardStreams();
// Points standard input, output and error at /dev/null: once the terminal
// is gone nothing printed may fail, block or reach anyone.
void SilenceStandardStreams();
#endif

// The byte log that the framing layer appends failure codes to:
// C:\ByteLog.txt on Windows, <state directory>/ByteLog.txt on Linux.
std::string ByteLogPath();

}  // namespace platform
