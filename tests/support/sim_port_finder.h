#pragma once

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
