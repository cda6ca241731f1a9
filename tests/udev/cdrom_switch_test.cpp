#include <gtest/gtest.h>

#include <scsi/sg.h>

#include <string>
#include <vector>

#include "app/cdrom_switch.h"
#include "platform/backends.h"
#include "gated_clock.h"
#include "test_backends.h"
#include "usb_testbed.h"

namespace {

TEST(CdromSwitch, EachNodeOfTheCdromDeviceGetsExactlyTheSwitchCommandAndNoOtherDoes)
{
    testbed::UsbBus bus;
    bus.AddCdromDevice("4-1", "1234", "2000", "sg0");
    bus.AddCdromDevice("4-2", "3e1f", "2000", "sg1");
    bus.AddCdromDevice("4-3", "3e1f", "2001", "sg2");
    std::vector<std::string> notes;
    app::CdromSwitchThread replug([&](const std::string& text) { notes.push_back(text); });

    EXPECT_TRUE(replug.SwitchOnce());
    const std::vector<testbed::ScsiRequest> requests = bus.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].devnode, "/dev/sg1");
    EXPECT_EQ(requests[0].cdb, (std::vector<std::uint8_t>{0x85, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}));
    EXPECT_EQ(requests[0].direction, SG_DXFER_NONE);
    EXPECT_EQ(requests[0].timeoutMs, 10000u);
    EXPECT_TRUE(notes.empty());
}

TEST(CdromSwitch, WithoutAScsiGenericNodeTheRunLogSaysSoOnceAndTheSearchGoesOn)
{
    testbed::UsbBus bus;
    std::vector<std::string> notes;
    app::CdromSwitchThread replug([&](const std::string& text) { notes.push_back(text); });
    EXPECT_FALSE(replug.SwitchOnce());
    EXPECT_TRUE(notes.empty());

    const std::string device = bus.AddCdromDevice("5-1", "3e1f", "2000", "");
    EXPECT_FALSE(replug.SwitchOnce());
    EXPECT_FALSE(replug.SwitchOnce());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("load the sg module (sudo modprobe sg)"), std::string::npos) << notes[0];

    // Once the module is loaded the node appears and the command goes out.
    bus.Remove(device);
    bus.AddCdromDevice("5-1", "3e1f", "2000", "sg3");
    EXPECT_TRUE(replug.SwitchOnce());
    ASSERT_EQ(bus.Requests().size(), 1u);
    EXPECT_EQ(bus.Requests()[0].devnode, "/dev/sg3");
}

// After a switch the thread looks again only 5 s later, on the program's
// clock, in 50 ms steps.
TEST(CdromSwitch, TheThreadPausesFiveSecondsAfterEachSwitch)
{
    testbed::UsbBus bus;
    bus.AddCdromDevice("6-1", "3e1f", "2000", "sg4");
    GatedClock clock;
    platform::MemorySerialPorts ports;
    OtherBackends others;
    app::CdromSwitchThread replug([](const std::string&) {});
    replug.Start(others.With(clock, ports), "firmware");
    clock.AwaitSleepers(1);
    EXPECT_EQ(bus.Requests().size(), 1u);
    for (int step = 1; step <= 100; ++step) {
        EXPECT_EQ(bus.Requests().size(), 1u) << "at " << clock.TickCount() << " ms";
        clock.PassOne();
        clock.AwaitSleepers(1);
    }
    EXPECT_EQ(bus.Requests().size(), 2u);
    EXPECT_EQ(clock.TickCount(), 5000u);
    clock.Done();
    replug.StopThread();
}

}  // namespace
