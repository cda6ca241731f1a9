#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diag_commands.h"
#include "download/streaming.h"
#include "link/at_channel.h"
#include "link/md5.h"
#include "link/phone_protocol.h"
#include "platform/backends.h"

enum class LineState : std::int32_t { None = 0, NoPhone = 1, PhoneFound = 2 };

// What the device on a line's ports answered in when the port search last
// asked: its normal software, or one of the two download modes that a run
// cut short leaves it in.
enum class DeviceMode : std::int32_t { Normal = 0, BootDownloader = 1, FlashProgrammer = 2 };

// A zero-terminated text field of fixed width. Storing a longer text is
// refused and leaves the field as it was, so a path is never cut short
// silently nor written past its field.
template <std::size_t Width>
class PathField {
public:
    [[nodiscard]] bool Set(std::string_view text)
    {
        if (text.size() >= Width) return false;
        std::memcpy(m_text.data(), text.data(), text.size());
        m_text[text.size()] = '\0';
        return true;
    }
    std::string Get() const { return std::string(m_text.data()); }

private:
    std::array<char, Width> m_text{};
};

// The files a line's run uses and the ports of its device.
struct LineRecord {
    PathField<256> partitionPath;
    PathField<256> cfgDataPath;          // secondary boot loader header and configuration data
    PathField<256> qcsblPath;
    PathField<256> oemsblHeaderPath;
    PathField<256> oemsblPath;
    PathField<256> amssHeaderPath;
    PathField<256> amssPath;
    PathField<256> imageFolder;
    PathField<256> efsPath;
    PathField<256> nvFolder;
    PathField<260> ramProgrammerPath;    // flash programmer loaded into device RAM
    PathField<260> nvBackupPath;
    PathField<260> nandHeaderPath;       // NAND programmer image header
    PathField<260> nandImagePath;        // NAND programmer image
    std::uint32_t baudRate = 115200;
};

// An image file as the check before a run read it: its length and the MD5
// of each piece of kPieceSize bytes (the last one may be shorter).
struct CheckedImage {
    static constexpr std::size_t kPieceSize = 4096;
    std::uint64_t length = 0;
    std::vector<md5::Digest> pieces;
};

// The image files a check read, by path.
using CheckedImages = std::map<std::string, CheckedImage>;

// One download line: its record, its device's port numbers, the protocol
// object on the diagnostic port and the AT channel on the modem port, and
// the state the form, the port search and the worker share. Values shared
// between threads are atomic or guarded.
class DownloadLine {
public:
    static constexpr std::size_t kStatusTextSize = 256;

    // The line waits on the backends' clock, opens its ports through their
    // serial ports and shows its boxes through their message boxes.
    explicit DownloadLine(const platform::Backends& backends)
        : protocol(backends.clock, backends.serialPorts), at(backends.clock, backends.serialPorts),
          m_backends(backends)
    {
        protocol.failureLogPath = backends.failureLogPath;
    }
    DownloadLine(const DownloadLine&) = delete;
    DownloadLine& operator=(const DownloadLine&) = delete;

    // The clock every wait of the line's procedures goes by.
    platform::IClock& Clock() const { return m_backends.clock; }
    const platform::Backends& Backends() const { return m_backends; }

    LineRecord record;
    std::atomic<std::int32_t> diagPort{0};
    std::atomic<std::int32_t> modemPort{0};
    std::atomic<bool> running{false};
    std::atomic<LineState> state{LineState::None};

    CPhoneProtocol protocol;
    // The flash programmer's replies nobody waited for, kept between requests.
    download::StreamInbox inbox;
    CAtChannel at;
    // What a run learnt that its end needs: the device's ESN (names an NV
    // backup kept after the run), whether the images are being written
    // (from the first write until the last is done: a failure meanwhile may
    // leave the flash half written) and whether the NV items were restored.
    std::atomic<std::uint32_t> esn{0xFFFFFFFF};
    std::atomic<bool> flashBegun{false};
    std::atomic<bool> nvRestored{false};
    std::atomic<DeviceMode> mode{DeviceMode::Normal};
    // The NV backup the run restores once it is kept under a name of its
    // own, and whether a run journal records the run. Set before the
    // worker starts and then used by the worker alone.
    std::string runBackup;
    bool journaled = false;
    diag::VersionRecord versions{};
    // What the check before the run read: the procedures send no byte that
    // has changed since. Written before the worker starts; empty when no
    // check ran.
    CheckedImages checkedImages;

    void SetStatusText(std::string_view text);
    std::string StatusText() const;

private:
    const platform::Backends m_backends;
    mutable std::mutex m_statusMutex;
    std::string m_statusText = "No Phone";
};

// Closes the line's diagnostic port if open and opens COM `port` at `baud`,
// 8 data bits, 1 stop bit.
[[nodiscard]] bool OpenDiagPort(DownloadLine& line, int port, int baud);
// The same for the modem port; an opened AT channel answers within 1000 ms
// and is tried twice.
[[nodiscard]] bool OpenModemPort(DownloadLine& line, int port, int baud);
