#pragma once

#include "platform/backends.h"
#include "platform/memory_wire.h"

// The backends of a test that opens no port of its own: the virtual clock
// and in-memory ports a test may add to.
struct TestBackends {
    platform::VirtualClock clock;
    platform::MemorySerialPorts ports;
    const platform::Backends backends{clock, ports};
};
