#pragma once

#include <string>

#include "sim/modem.h"

namespace sim {

// The device's state file: its flash and NV items across restarts of the
// program, as a power cut leaves them.

// Loads FILE into the device, which starts again from it. A missing file is
// a fresh device (true, nothing loaded); a file that cannot be read or is no
// whole state is refused with a reason and left as it is.
bool LoadStateFile(const std::string& path, SimModem& modem, std::string& error);
// Replaces FILE with the device's state: written beside it, synced, renamed
// over it, so that a kill at any moment leaves the old state or the new.
bool SaveStateFile(const std::string& path, const SimModem& modem, std::string& error);

}  // namespace sim
