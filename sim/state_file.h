#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/modem.h"

namespace sim {

// The device's state files: its flash in FILE and its NV items in FILE.nv,
// across restarts of the program, as a power cut leaves them. Each is
// replaced whole (written beside it, then renamed over it), so that a kill
// at any moment leaves the old or the new; the flash's file is written only
// when the flash changed, so that an NV write does not copy the whole flash.
class StateFile {
public:
    explicit StateFile(std::string path) : m_path(std::move(path)) {}

    // Loads the files into the device, which starts again from them. No
    // files are a fresh device (true, nothing loaded); files that cannot be
    // read or hold no whole state are refused with a reason and left as they
    // are.
    bool Load(SimModem& modem, std::string& error);
    bool Save(const SimModem& modem, std::string& error);

private:
    std::string m_path;
    std::optional<std::uint64_t> m_flashSaved;
};

}  // namespace sim
