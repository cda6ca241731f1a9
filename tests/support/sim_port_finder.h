#pragma once

#include <atomic>

#include "platform/port_finder.h"
#include "sim/inprocess_modem.h"

// The ports the simulated modem has at the moment, as its drivers register
// them: none while it is away, no modem port in download mode. Each search
// first brings the device up to the clock, as opening one of its ports
// does, so that the ports found and the ports agree. Use it from the thread
// that drives the device.
class SimPortFinder final : public platform::IPortFinder {
public:
    explicit SimPortFinder(sim::InProcessModem& served) : m_served(served) {}

    platform::ModemPorts FindModemPorts() override
    {
        m_served.Advance();
        const sim::SimModem& modem = m_served.Modem();
        platform::ModemPorts ports;
        if (modem.Present() && modem.DiagPort() > 0) ports.diag = modem.DiagPort();
        if (modem.Present() && modem.ModemPort() > 0) ports.modem = modem.ModemPort();
        return ports;
    }

private:
    sim::InProcessModem& m_served;
};

// Asks the finder it was last told to use: a test puts another in front
// before it starts a search.
class SwitchedFinder final : public platform::IPortFinder {
public:
    explicit SwitchedFinder(platform::IPortFinder& first) : m_use(&first) {}
    void Use(platform::IPortFinder& finder) { m_use = &finder; }
    platform::ModemPorts FindModemPorts() override { return m_use.load()->FindModemPorts(); }

private:
    std::atomic<platform::IPortFinder*> m_use;
};
