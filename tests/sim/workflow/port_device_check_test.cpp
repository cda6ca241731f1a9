// The line's device check and port discovery against the simulated modem.
#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "sim_registry.h"
#include "workflow/line_control.h"
#include "workflow/port_discovery.h"

namespace {

using Names = std::vector<std::string>;

sim::ModemConfig Config()
{
    sim::ModemConfig config;
    config.esn = 0x5EEDF00D;
    config.renumberStep = 2;
    return config;
}

class DeviceCheckTest : public SimTest {
protected:
    DeviceCheckTest() : SimTest(Config()) {}
    void SetUp() override { ASSERT_TRUE(OpenDiagPort(line, modem.DiagPort(), 115200)); }

    DownloadLine line;
};

TEST_F(DeviceCheckTest, VersionsElseSoftwareVersionElseEsnNameTheDevice)
{
    EXPECT_TRUE(CheckPhoneInfo(line));
    EXPECT_EQ(line.StatusText(), "M6280A-KCDRUN-1.0.0");
    EXPECT_EQ(line.state, LineState::PhoneFound);
    EXPECT_EQ(line.versions.Field(9), "BEL_MD_LR520S");

    Fault("versions=silent");
    line.SetStatusText("NULL");
    EXPECT_TRUE(CheckPhoneInfo(line));
    EXPECT_EQ(line.StatusText(), "M6280A-KCDRUN-1.0.0");
    EXPECT_EQ(modem.RequestNames(), (Names{"esn", "versions", "esn", "versions", "swversion"}));

    Fault("swversion=diagerror:19");
    EXPECT_TRUE(CheckPhoneInfo(line));
    EXPECT_EQ(line.StatusText(), "5eedf00d");
    EXPECT_EQ(line.state, LineState::PhoneFound);

    Fault("esn=silent");
    Fault("qcdmg=silent");
    EXPECT_FALSE(CheckPhoneInfo(line));
    EXPECT_EQ(line.StatusText(), "No Phone");
    EXPECT_EQ(line.state, LineState::NoPhone);
}

TEST_F(DeviceCheckTest, PortsFollowTheDeviceThroughAReset)
{
    SimRegistry registry(served);
    platform::ScopedRegistry use(registry);
    EXPECT_TRUE(FindPorts(line));
    EXPECT_EQ(line.diagPort, 12);
    EXPECT_EQ(line.modemPort, 13);

    // Away after a reset, back later under new numbers.
    ASSERT_TRUE(diag::ResetPhone(line.protocol));
    EXPECT_FALSE(FindPorts(line));
    clock.SleepMs(4000);
    EXPECT_TRUE(FindPorts(line));
    EXPECT_EQ(line.diagPort, 14);
    EXPECT_EQ(line.modemPort, 15);
}

}  // namespace
