#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

#include "platform/clock.h"
#include "platform/keep_awake.h"
#include "platform/message_box.h"
#include "platform/payload_store.h"
#include "platform/port_finder.h"
#include "platform/process.h"
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
    IMessageBoxes& messageBoxes;
    // The payloads extracted into the working folder at start-up.
    IPayloadStore& payloads;
    // Where the lines log the failed attempts of the requests that ask for
    // it (ByteLogPath() for the program); empty for no log.
    std::string failureLogPath = {};
};

// The system's serial ports: on Windows the COM ports, elsewhere the
// links of PortsDirectory().
std::unique_ptr<ISerialPorts> SystemSerialPorts();

// The system registry's answer to which ports are the modem's (elsewhere
// than on Windows, the REGEDIT4 file of RegistryFilePath()).
std::unique_ptr<IPortFinder> SystemPortFinder();

// The system's own backends, for a program that runs no session: its serial
// ports, keep-awake, process end, registry port finder and message boxes,
// with the payloads built into the program, on `clock`.
class SystemBackends {
public:
    explicit SystemBackends(IClock& clock, std::string failureLogPath = {});
    const Backends& Get() const { return m_backends; }

private:
    std::unique_ptr<ISerialPorts> m_ports;
    std::unique_ptr<IKeepAwake> m_awake;
    SystemProcess m_process;
    std::unique_ptr<IPortFinder> m_finder;
    std::unique_ptr<IMessageBoxes> m_boxes;
    Backends m_backends;
};

// Waits `ms` on `clock`, looking at `stop` every 50 ms; false as soon as a
// stop is asked for, true once the time has passed.
[[nodiscard]] bool PauseUnlessStopped(IClock& clock, const std::stop_token& stop, std::uint32_t ms);

}  // namespace platform
