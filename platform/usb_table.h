#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// What a serial port of the modem is for.
enum class PortRole { Diag, Modem, Probe };

// The USB devices whose serial ports this program may open, and the role of
// each of their ports. Lines read "vendor:product interface role": four hex
// digits each for vendor and product (product may be *), the interface
// number in hex or *, and diag, modem or probe. '#' starts a comment. The
// first line that matches a port decides.
class UsbTable {
public:
    // False, with the number and text of the first wrong line in `error`.
    static bool Parse(std::string_view text, UsbTable& table, std::string& error);
    // The table installed beside the program, or the built-in one when no
    // file is there.
    static std::string DefaultPath();
    static constexpr const char* kBuiltIn = "3e1f:*  *  probe\n";

    // A device given by the user: every port is probed.
    void AddDevice(std::uint16_t vendor, std::uint16_t product);

    bool Knows(std::uint16_t vendor, std::uint16_t product) const;
    // Nothing when the device is unknown or no line names this interface.
    std::optional<PortRole> RoleOf(std::uint16_t vendor, std::uint16_t product, int interface) const;
    // "3e1f:*, fff1:0001": for the run log.
    std::string Describe() const;

private:
    struct Entry {
        std::uint16_t vendor;
        std::optional<std::uint16_t> product;
        std::optional<int> interface;
        PortRole role;
    };
    std::vector<Entry> m_entries;
};

// A vendor or product id as four lower-case hex digits ("3e1f").
std::string UsbIdText(unsigned value);

// "VID:PID" as four hex digits each.
[[nodiscard]] bool ParseUsbId(std::string_view text, std::uint16_t& vendor, std::uint16_t& product);

}  // namespace platform
