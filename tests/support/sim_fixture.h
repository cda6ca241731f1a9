#pragma once

#include <gtest/gtest.h>

#include "link/phone_protocol.h"
#include "platform/backends.h"
#include "sim/inprocess_modem.h"

// A simulated modem served in-process on the virtual clock, with the host's
// packet engine ready to open its diagnostic port.
class SimTest : public ::testing::Test {
protected:
    explicit SimTest(sim::ModemConfig config = {}) : modem(config) {}

    bool OpenDiag()
    {
        protocol.port.Close();
        return protocol.port.Open(modem.DiagPort(), 115200, 8, 1);
    }
    // Lets virtual time pass, as the host's pauses do.
    void Wait(std::uint32_t ms)
    {
        clock.SleepMs(ms);
        served.Advance();
    }
    std::uint32_t Now() { return clock.TickCount(); }
    void Fault(const std::string& description)
    {
        std::string error;
        ASSERT_TRUE(modem.faults().Parse(description, error)) << error;
    }
    int Count(const std::string& request) const
    {
        int count = 0;
        for (const auto& name : modem.RequestNames()) count += name == request;
        return count;
    }

    platform::VirtualClock clock;
    sim::SimModem modem;
    sim::InProcessModem served{modem, clock};
    CPhoneProtocol protocol{clock, served};
};
