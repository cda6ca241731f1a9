#pragma once

#include "platform/backends.h"
#include "platform/memory_wire.h"
#include "platform/message_box.h"
#include "platform/payload_store.h"
#include "platform/registry.h"

// The backends of a test besides its clock and ports: a keep-awake, a
// process end and message boxes that only record, a finder that reads an
// empty registry and a payload store a test may fill.
struct OtherBackends {
    platform::RecordingKeepAwake awake;
    platform::RecordingProcess process;
    platform::MemoryRegistry registry;
    platform::RegistryPortFinder finder{registry};
    platform::RecordingMessageBoxes boxes;
    platform::MemoryPayloadStore payloads;

    platform::Backends With(platform::IClock& clock, platform::ISerialPorts& ports)
    {
        return {clock, ports, awake, process, finder, boxes, payloads};
    }
};

// The virtual clock and in-memory ports a test may add to.
struct ClockAndPorts {
    platform::VirtualClock clock;
    platform::MemorySerialPorts ports;
};

// The backends of a test that opens no port of its own.
struct TestBackends : OtherBackends, ClockAndPorts {
    const platform::Backends backends = With(clock, ports);
};
