#pragma once

#include <cstdint>
#include <stop_token>

#include "platform/clock.h"
#include "platform/port_finder.h"
#include "platform/scoped_backend.h"
#include "platform/serial_device.h"

namespace platform {

// The process-wide backends. Production code asks here; start-up code and
// tests install others. Installing null restores the platform's default;
// each installer returns what it replaced.
IClock& Clock();
ISerialPorts& SerialPorts();
// Which ports are the modem's; by default the system registry's answer
// (elsewhere than on Windows, the REGEDIT4 file of RegistryFilePath()).
IPortFinder& PortFinder();
IClock* SetClock(IClock* clock);
ISerialPorts* SetSerialPorts(ISerialPorts* ports);
IPortFinder* SetPortFinder(IPortFinder* finder);

using ScopedClock = ScopedBackend<IClock, SetClock>;

// Waits `ms` on the process clock, looking at `stop` every 50 ms; false as
// soon as a stop is asked for, true once the time has passed.
[[nodiscard]] bool PauseUnlessStopped(const std::stop_token& stop, std::uint32_t ms);
using ScopedSerialPorts = ScopedBackend<ISerialPorts, SetSerialPorts>;
using ScopedPortFinder = ScopedBackend<IPortFinder, SetPortFinder>;

}  // namespace platform
