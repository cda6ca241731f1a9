#include "sim/inprocess_modem.h"

namespace sim {

InProcessModem::InProcessModem(SimModem& modem, platform::IClock& clock) : m_modem(modem), m_clock(clock)
{
    NewWires();
    m_modem.Connect(this);
}

InProcessModem::~InProcessModem() { m_modem.Connect(nullptr); }

void InProcessModem::NewWires()
{
    m_diagWire = std::make_shared<platform::MemoryWire>(m_clock);
    m_diagWire->Attach(&m_diagEndpoint);
    m_modemWire = std::make_shared<platform::MemoryWire>(m_clock);
    m_modemWire->Attach(&m_modemEndpoint);
}

void InProcessModem::Advance()
{
    std::lock_guard lock(m_mutex);
    m_modem.Advance(m_clock.TickCount());
}

void InProcessModem::PullOut(bool forGood)
{
    std::lock_guard lock(m_mutex);
    m_modem.PullOut(m_clock.TickCount(), forGood);
}

std::unique_ptr<platform::ISerialDevice> InProcessModem::OpenPort(int number)
{
    std::lock_guard lock(m_mutex);
    m_modem.Advance(m_clock.TickCount());
    if (!m_modem.Present()) return nullptr;
    if (number == m_modem.DiagPort()) return platform::OpenMemoryWire(m_diagWire);
    if (number == m_modem.ModemPort()) return platform::OpenMemoryWire(m_modemWire);
    return nullptr;
}

void InProcessModem::Endpoint::OnHostBytes(platform::MemoryWire& wire, const std::uint8_t* data, std::size_t length)
{
    std::lock_guard lock(m_owner.m_mutex);
    // Bytes written to a port of an earlier appearance go nowhere.
    const auto& current = m_port == SimPort::Diag ? m_owner.m_diagWire : m_owner.m_modemWire;
    if (current.get() != &wire) return;
    m_owner.m_modem.Receive(m_port, data, length, m_owner.m_clock.TickCount());
}

void InProcessModem::Send(SimPort port, const Bytes& bytes, std::uint32_t delayMs)
{
    std::lock_guard lock(m_mutex);
    (port == SimPort::Diag ? m_diagWire : m_modemWire)->SendToHost(bytes, delayMs);
}

void InProcessModem::BusChanged()
{
    std::lock_guard lock(m_mutex);
    if (m_modem.Present()) return;
    m_diagWire->Unplug();
    m_modemWire->Unplug();
    NewWires();
}

}  // namespace sim
