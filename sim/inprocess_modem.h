#pragma once

#include <memory>
#include <mutex>

#include "platform/clock.h"
#include "platform/memory_wire.h"
#include "sim/modem.h"

namespace sim {

// Serves a simulated modem to the host inside the same process: its ports
// are in-memory wires and time is the clock it is given (the virtual clock
// in tests). When the device leaves the bus its open ports go dead and its
// numbers stop opening; when it comes back, fresh ports appear.
class InProcessModem final : public platform::ISerialPorts, private ISimLink {
public:
    InProcessModem(SimModem& modem, platform::IClock& clock);
    ~InProcessModem() override;

    std::unique_ptr<platform::ISerialDevice> OpenPort(int number) override;

    // Brings the device back on the bus when its time has come.
    void Advance();
    // The user pulls the device out (for good, or until it returns).
    void PullOut(bool forGood);
    SimModem& Modem() { return m_modem; }

private:
    class Endpoint final : public platform::IWireDevice {
    public:
        Endpoint(InProcessModem& owner, SimPort port) : m_owner(owner), m_port(port) {}
        void OnHostBytes(platform::MemoryWire& wire, const std::uint8_t* data, std::size_t length) override;

    private:
        InProcessModem& m_owner;
        SimPort m_port;
    };

    void Send(SimPort port, const Bytes& bytes, std::uint32_t delayMs) override;
    void BusChanged() override;
    void NewWires();

    SimModem& m_modem;
    platform::IClock& m_clock;
    std::recursive_mutex m_mutex;
    Endpoint m_diagEndpoint{*this, SimPort::Diag};
    Endpoint m_modemEndpoint{*this, SimPort::Modem};
    std::shared_ptr<platform::MemoryWire> m_diagWire;
    std::shared_ptr<platform::MemoryWire> m_modemWire;
};

}  // namespace sim
