#pragma once

#include "platform/backends.h"
#include "platform/memory_wire.h"
#include "platform/registry.h"

// The backends of a test that opens no port of its own: the virtual clock,
// in-memory ports a test may add to, a keep-awake and a process end that
// only record, and a finder that reads an empty registry.
struct TestBackends {
    platform::VirtualClock clock;
    platform::MemorySerialPorts ports;
    platform::RecordingKeepAwake awake;
    platform::RecordingProcess process;
    platform::MemoryRegistry registry;
    platform::RegistryPortFinder finder{registry};
    const platform::Backends backends{clock, ports, awake, process, finder};
};
