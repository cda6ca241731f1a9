#pragma once

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace platform {

// The process-wide backends. Production code asks here; start-up code and
// tests install others. Installing null restores the platform's default.
IClock& Clock();
ISerialPorts& SerialPorts();
void SetClock(IClock* clock);
void SetSerialPorts(ISerialPorts* ports);

// Installs a backend for the lifetime of a scope.
class ScopedClock {
public:
    explicit ScopedClock(IClock& clock) { SetClock(&clock); }
    ~ScopedClock() { SetClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

class ScopedSerialPorts {
public:
    explicit ScopedSerialPorts(ISerialPorts& ports) { SetSerialPorts(&ports); }
    ~ScopedSerialPorts() { SetSerialPorts(nullptr); }
    ScopedSerialPorts(const ScopedSerialPorts&) = delete;
    ScopedSerialPorts& operator=(const ScopedSerialPorts&) = delete;
};

}  // namespace platform
