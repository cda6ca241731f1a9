#pragma once

#include <optional>

#include "platform/registry.h"

namespace platform {

// The port numbers of the modem's diagnostic and modem (AT) ports; nothing
// for a port that was not found.
struct ModemPorts {
    std::optional<int> diag;
    std::optional<int> modem;
};

// Where the port search learns which ports are the modem's. Every call
// answers for the bus as it is now.
class IPortFinder {
public:
    virtual ~IPortFinder() = default;
    virtual ModemPorts FindModemPorts() = 0;
};

// The ports as the modem's drivers register them: the Enum keys of the
// driver services name the most recently enumerated device of each, and its
// "Device Parameters" key its "PortName". A port name other than "COM" and
// a number counts as not found. The registry is read afresh at every call.
class RegistryPortFinder final : public IPortFinder {
public:
    explicit RegistryPortFinder(IRegistry& registry) : m_registry(registry) {}
    ModemPorts FindModemPorts() override;

private:
    IRegistry& m_registry;
};

}  // namespace platform
