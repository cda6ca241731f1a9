#pragma once

#include "platform/clock.h"
#include "platform/scoped_backend.h"
#include "platform/serial_device.h"

namespace platform {

// The process-wide backends. Production code asks here; start-up code and
// tests install others. Installing null restores the platform's default;
// each installer returns what it replaced.
IClock& Clock();
ISerialPorts& SerialPorts();
IClock* SetClock(IClock* clock);
ISerialPorts* SetSerialPorts(ISerialPorts* ports);

using ScopedClock = ScopedBackend<IClock, SetClock>;
using ScopedSerialPorts = ScopedBackend<ISerialPorts, SetSerialPorts>;

}  // namespace platform
