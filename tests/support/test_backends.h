#pragma once

#include "platform/backends.h"
#include "platform/memory_wire.h"

// The backends of a test that opens no port of its own: the virtual clock,
// in-memory ports a test may add to, and a keep-awake and a process end
// that only record.
struct TestBackends {
    platform::VirtualClock clock;
    platform::MemorySerialPorts ports;
    platform::RecordingKeepAwake awake;
    platform::RecordingProcess process;
    const platform::Backends backends{clock, ports, awake, process};
};
