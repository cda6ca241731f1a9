#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>

#include "platform/clock.h"
#include "platform/keep_awake.h"
#include "platform/port_finder.h"
#include "platform/process.h"
#include "platform/scoped_backend.h"
#include "platform/serial_device.h"

namespace platform {

// The backends one application works with: its front end builds them at
// start-up and hands them down, so that two applications in one process
// share none.
struct Backends {
    IClock& clock;
    ISerialPorts& serialPorts;
    IKeepAwake& keepAwake;
    IProcess& process;
    // Which ports are the modem's.
    IPortFinder& portFinder;
};

// The system's serial ports: on Windows the COM ports, elsewhere the
// links of PortsDirectory().
std::unique_ptr<ISerialPorts> SystemSerialPorts();

// The system registry's answer to which ports are the modem's (elsewhere
// than on Windows, the REGEDIT4 file of RegistryFilePath()).
std::unique_ptr<IPortFinder> SystemPortFinder();

// The process-wide clock of the code that is not handed one yet (the run
// log, the simulated modem, the pauses of the background threads). Start-up code and tests
// install others; installing null restores the real clock and the
// installer returns what it replaced.
IClock& Clock();
IClock* SetClock(IClock* clock);

using ScopedClock = ScopedBackend<IClock, SetClock>;

// Waits `ms` on the process clock, looking at `stop` every 50 ms; false as
// soon as a stop is asked for, true once the time has passed.
[[nodiscard]] bool PauseUnlessStopped(const std::stop_token& stop, std::uint32_t ms);

}  // namespace platform
