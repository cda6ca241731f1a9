#include "link/serial_port.h"

#include <gtest/gtest.h>

#include <numeric>

#include "wire_fixture.h"

namespace {

class SerialPortTest : public WireTest {
protected:
    CSerialPort port{clock, ports};
};

TEST_F(SerialPortTest, ClosedPortIsHarmlessAndFreeForTheNextOpenWhoseSettingsStay)
{
    CSerialPort second{clock, ports};
    EXPECT_FALSE(port.Open(kPort + 1, 115200, 8, 1));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(port.BytesWaiting(), 0u);
    std::uint8_t buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(port.Write(buffer, 4), 0u);
    EXPECT_EQ(port.Read(buffer, 4), 0u);
    EXPECT_TRUE(wire->HostWrites().empty());

    ASSERT_TRUE(port.Open(kPort, 115200, 8, 1));
    EXPECT_FALSE(second.Open(kPort, 115200, 8, 1));
    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(second.Open(kPort, 115200, 8, 1));
}

TEST_F(SerialPortTest, ReadTakesOnlyWhatIsQueuedAndNeverWaits)
{
    ASSERT_TRUE(port.Open(kPort, 115200, 8, 1));
    std::uint8_t buffer[512];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);

    Bytes burst(300);
    std::iota(burst.begin(), burst.end(), std::uint8_t{0});
    wire->SendToHost(burst);
    wire->SendToHost({0xEE}, 50);  // still on its way
    EXPECT_EQ(port.Read(buffer, 256), 256u);
    EXPECT_EQ(buffer[255], 255);
    EXPECT_EQ(port.BytesWaiting(), 44u);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 44u);
    EXPECT_EQ(buffer[0], 256 % 256);
    EXPECT_EQ(Elapsed(), 0u);
}

// A device that delivers fewer bytes than a read asks for, as a read that
// times out before completing does, or whose configuration fails; counts the
// devices still open.
struct FakePorts : platform::ISerialPorts {
    struct Device : platform::ISerialDevice {
        Device(int& open, bool configurable) : open(open), configurable(configurable) { ++open; }
        ~Device() override { --open; }
        bool Configure(const platform::SerialSettings&) override { return configurable; }
        void Purge(bool, bool) override {}
        std::uint32_t Write(const std::uint8_t*, std::uint32_t length, std::uint32_t) override { return length; }
        std::uint32_t QueuedInput() override { return 100; }
        std::uint32_t Read(std::uint8_t* data, std::uint32_t, std::uint32_t) override
        {
            data[0] = 0x42;
            return 1;
        }
        int& open;
        bool configurable;
    };
    std::unique_ptr<platform::ISerialDevice> OpenPort(int) override { return std::make_unique<Device>(open, configurable); }
    int open = 0;
    bool configurable = true;
};

TEST(SerialPortDevice, ReadReportsTheBytesDeliveredFailedConfigurationReleasesThePort)
{
    FakePorts ports;
    platform::VirtualClock clock;
    CSerialPort port{clock, ports};
    ASSERT_TRUE(port.Open(30, 115200, 8, 1));
    std::uint8_t buffer[64] = {};
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 1u);
    EXPECT_TRUE(port.Close());

    ports.configurable = false;
    EXPECT_FALSE(port.Open(5, 115200, 8, 1));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(ports.open, 0);
}

}  // namespace
