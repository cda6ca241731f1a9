// Pressing the start button of a line, and the device check that names the
// device the line shows.
#include <gtest/gtest.h>

#include "test_backends.h"
#include "upgrade_fixture.h"

namespace {

using Names = std::vector<std::string>;

class DeviceCheckTest : public SimTest {
protected:
    DeviceCheckTest() : SimTest({.esn = 0x5EEDF00D}) {}
    void SetUp() override { ASSERT_TRUE(OpenDiagPort(line, modem.DiagPort(), 115200)); }

    OtherBackends others;
    DownloadLine line{others.With(clock, served)};
};

TEST_F(DeviceCheckTest, VersionsElseSoftwareVersionElseEsnNameTheDevice)
{
    EXPECT_TRUE(CheckPhoneInfo(line));
    EXPECT_EQ(line.StatusText(), "M6280A-KCDRUN-1.0.0");
    EXPECT_EQ(line.versions.Field(9), "BEL_MD_LR520S");

    Fault("versions=silent");
    line.SetStatusText("NULL");
    EXPECT_TRUE(CheckPhoneInfo(line));
    EXPECT_EQ(line.StatusText(), "M6280A-KCDRUN-1.0.0");
    EXPECT_EQ(modem.RequestNames(), (Names{"esn", "versions", "esn", "versions", "swversion"}));

    Fault("swversion=diagerror:19");
    EXPECT_TRUE(CheckPhoneInfo(line));
    EXPECT_EQ(line.StatusText(), "5eedf00d");

    Fault("esn=silent");
    Fault("qcdmg=silent");
    EXPECT_FALSE(CheckPhoneInfo(line));
}

class StartLineTest : public UpgradeTest {};

TEST_F(StartLineTest, ASecondPressOfARunningLineOnlyRefreshesItsControls)
{
    Line().running = true;
    const std::size_t requests = modem.Received().size();
    control.StartLine(0);
    EXPECT_EQ(form.Calls(), (Names{"0 off"}));
    EXPECT_EQ(modem.Received().size(), requests);
    EXPECT_EQ(threads.portSearchStops, 0);
    EXPECT_TRUE(boxes.Texts().empty());
    Line().running = false;
}

// What the model check makes of the device's version reply.
struct ModelCheck {
    const char* fault;
    bool refused;
    // Before the refusal; an accepted model goes on into the run, whose
    // worker asks again.
    int versionRequests;
};

class ModelCheckTest : public StartLineTest, public ::testing::WithParamInterface<ModelCheck> {};

TEST_P(ModelCheckTest, AnotherModelEndsTheProgramWithZero)
{
    Fault(GetParam().fault);
    const int asked = Count("versions");
    control.StartLine(0);
    EXPECT_EQ(process.Exited(), GetParam().refused);
    if (GetParam().refused) {
        EXPECT_EQ(Count("versions") - asked, GetParam().versionRequests);
        EXPECT_EQ(boxes.Texts(), (Names{"The model is not correct, not allow use this tool!"}));
        EXPECT_EQ(process.Code(), 0);
        EXPECT_FALSE(Line().running);
    }
    control.WaitForWorkers();
}

// The product text is compared in any letter case; a device that does not
// answer the version request counts as another model.
INSTANTIATE_TEST_SUITE_P(Replies, ModelCheckTest,
                         ::testing::Values(ModelCheck{"product:bel_md_lr520s-x", false, 0},
                                           ModelCheck{"product:OTHER_MODEM", true, 1}, ModelCheck{"versions=silent", true, 2}));

TEST_F(StartLineTest, MissingFirmwareGivesTheLineBackToThePortSearch)
{
    std::filesystem::remove(folder / "partition.mbn");
    control.StartLine(0);
    EXPECT_EQ(boxes.Texts(), (Names{"Line1: can't open partition.mbn!"}));
    EXPECT_FALSE(Line().running);
    EXPECT_EQ(threads.portSearchStops, 1);
    EXPECT_EQ(threads.portSearchStarts, 1);
    EXPECT_EQ(threads.replugStops, 0);
}

TEST_F(StartLineTest, ABackupInTheWayThatCannotBeMovedAsideKeepsTheRunFromStarting)
{
    std::filesystem::create_directories(folder / "Channel1.nvm" / "inside");
    const std::size_t requests = modem.Received().size();
    control.StartLine(0);
    EXPECT_FALSE(Line().running);
    EXPECT_NE(report.LineText(0).find(" cannot be moved aside: move it elsewhere, then start again."), std::string::npos);
    EXPECT_EQ(threads.portSearchStarts, 1);
    EXPECT_EQ(modem.Received().size(), requests + 1) << "only the version request of the model check";
    EXPECT_TRUE(std::filesystem::exists(folder / "Channel1.nvm" / "inside"));
}

// The served ports, of which `held` is held open by another program.
struct HeldPorts final : platform::ISerialPorts {
    explicit HeldPorts(platform::ISerialPorts& ports) : ports(ports) {}
    std::unique_ptr<platform::ISerialDevice> OpenPort(int number) override { return ports.OpenPort(number); }
    std::string HeldBy(int number) override { return number == held ? "minicom (process 4242)" : ""; }
    platform::ISerialPorts& ports;
    int held = 0;
};

class HeldPortTest : public UpgradeTest {
protected:
    HeldPortTest() : UpgradeTest(heldPorts) {}
    HeldPorts heldPorts{served};
};

TEST_F(HeldPortTest, APortHeldByAnotherProgramKeepsTheRunFromStartingAndNamesIt)
{
    heldPorts.held = Line().modemPort;
    const std::size_t requests = modem.Received().size();
    control.StartLine(0);

    const std::string text = "COM" + std::to_string(Line().modemPort) +
                             " is held open by minicom (process 4242): close that program, then press UPDATE again.";
    EXPECT_EQ(boxes.Texts(), (Names{text}));
    EXPECT_NE(report.LineText(0).find(text), std::string::npos);
    EXPECT_FALSE(Line().running);
    EXPECT_EQ(modem.Received().size(), requests) << "nothing is sent while another program may read the replies";
    EXPECT_EQ(threads.portSearchStarts, 1);
}

TEST_F(StartLineTest, StartingDisablesTheOtherLinesAndTheRunStaysOnItsLine)
{
    // The user turns to another line the moment the run is started.
    form.onProgress = [this](int) { doc.currentLine = 3; };
    Fault("lost");
    Run();
    EXPECT_NE(report.LineText(0).find("Can not find port, Please download again!"), std::string::npos);
    EXPECT_EQ(report.LineText(3), "");
    // Every idle line off, the own line off, then every idle line on again
    // once the worker has started.
    const auto calls = form.Calls();
    ASSERT_GE(calls.size(), 16u);
    for (int line = 0; line < 8; ++line) EXPECT_EQ(calls[static_cast<std::size_t>(line)], std::to_string(line) + " off");
    EXPECT_EQ(calls[8], "0 off");
    for (int line = 1; line < 8; ++line) {
        EXPECT_NE(std::find(calls.begin() + 9, calls.end(), std::to_string(line) + " on"), calls.end());
    }
}

}  // namespace
