#pragma once

#include <optional>

#include "platform/serial_device.h"
#include "platform/usb_table.h"

namespace app {

// Asks an opened port of an unknown device which of the modem's ports it
// is: the diagnostic port answers a DIAG request with a well-formed frame,
// the modem port answers "AT" with OK. Nothing when it answers neither
// within half a second each.
std::optional<platform::PortRole> ProbePort(platform::ISerialDevice& port);

}  // namespace app
