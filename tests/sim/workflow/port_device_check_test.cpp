// The line's device check against the simulated modem.
#include <gtest/gtest.h>

#include "sim_fixture.h"
#include "workflow/line_control.h"

namespace {

using Names = std::vector<std::string>;

sim::ModemConfig Config()
{
    sim::ModemConfig config;
    config.esn = 0x5EEDF00D;
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

}  // namespace
