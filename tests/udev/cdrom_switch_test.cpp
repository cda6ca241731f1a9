#include <gtest/gtest.h>

#include <scsi/sg.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/cdrom_switch.h"
#include "platform/backends.h"
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

// Virtual time that notes the tick of each switch command the bus received:
// the thread pauses right after each look, so a new command shows at the
// pause that follows it.
class SwitchTimes final : public platform::IClock {
public:
    explicit SwitchTimes(testbed::UsbBus& bus) : m_bus(bus) {}
    void SleepMs(std::uint32_t ms) override
    {
        {
            std::lock_guard lock(m_mutex);
            const std::size_t sent = m_bus.Requests().size();
            while (m_ticks.size() < sent) m_ticks.push_back(m_time.TickCount());
        }
        m_time.SleepMs(ms);
    }
    std::uint32_t TickCount() override { return m_time.TickCount(); }
    platform::LocalTime Now() override { return m_time.Now(); }
    std::vector<std::uint32_t> Ticks()
    {
        std::lock_guard lock(m_mutex);
        return m_ticks;
    }

private:
    testbed::UsbBus& m_bus;
    platform::VirtualClock m_time;
    std::mutex m_mutex;
    std::vector<std::uint32_t> m_ticks;
};

// After a switch the thread looks again only 5 s later, on the program's
// clock.
TEST(CdromSwitch, TheThreadPausesFiveSecondsAfterEachSwitch)
{
    testbed::UsbBus bus;
    bus.AddCdromDevice("6-1", "3e1f", "2000", "sg4");
    SwitchTimes clock(bus);
    platform::MemorySerialPorts ports;
    OtherBackends others;
    app::CdromSwitchThread replug([](const std::string&) {});
    replug.Start(others.With(clock, ports), "firmware");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (clock.Ticks().size() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    replug.StopThread();
    const std::vector<std::uint32_t> ticks = clock.Ticks();
    ASSERT_GE(ticks.size(), 3u);
    EXPECT_EQ(std::vector<std::uint32_t>(ticks.begin(), ticks.begin() + 3), (std::vector<std::uint32_t>{0, 5000, 10000}));
}

}  // namespace
