// The vendor DIAG requests and the AT channel against the simulated
// modem's normal software.
#include <gtest/gtest.h>

#include <array>

#include "diag/diag_commands.h"
#include "link/md5.h"
#include "sim_fixture.h"

namespace {

class DiagSimTest : public SimTest {
protected:
    void SetUp() override { ASSERT_TRUE(OpenDiag()); }
};

TEST_F(DiagSimTest, DownloadCheckResultTwoIsAMainVersionError)
{
    std::array<std::uint8_t, 128> block{0x2C, 0x1A, 0xBE, 0x6E};
    EXPECT_TRUE(diag::DownloadCheck(protocol, block, 0xA3));
    modem.faults().downloadCheckResult = 2;
    EXPECT_FALSE(diag::DownloadCheck(protocol, block, 0xA3));
    EXPECT_EQ(protocol.LastError(), "Cannot pass the download check, Since main ver error");
}

TEST_F(DiagSimTest, ChallengeWithEscapedBytesIsAnsweredCorrectly)
{
    // 7D and 7E travel escaped; the answer must be computed over the real bytes.
    modem.faults().challenge = std::vector<std::uint8_t>{0x7E, 0x01, 0x7D, 0x02, 0x7E, 0x7D, 0x03, 0x04};
    std::array<std::uint8_t, 8> value{};
    ASSERT_TRUE(diag::GetChallengeValue(protocol, value));
    EXPECT_EQ(std::vector<std::uint8_t>(value.begin(), value.end()), *modem.faults().challenge);
    const md5::Digest answer = md5::Compute(value.data(), value.size());
    EXPECT_TRUE(diag::SendChallengeAnswer(protocol, answer));
    EXPECT_TRUE(modem.ChallengePassed());
}

TEST_F(DiagSimTest, VendorFlagAndAutorunReachTheDevice)
{
    EXPECT_TRUE(diag::SetVendorFlag(protocol, 1));
    EXPECT_TRUE(diag::SetAutorun(protocol, 0));
    EXPECT_EQ(modem.VendorFlag(), 1);
    EXPECT_EQ(modem.Autorun(), 0);
}

TEST_F(DiagSimTest, AtChannelOnTheModemPort)
{
    ASSERT_TRUE(OpenModem());
    std::string line;
    EXPECT_TRUE(at.Execute("AT+KCDRUN=E", line));
    EXPECT_EQ(line, "OK");
    EXPECT_FALSE(at.SendCommand("AT+BOGUS"));
    std::string error;
    ASSERT_TRUE(modem.faults().Parse("at=silent", error));
    EXPECT_FALSE(at.SendCommand("AT+KCDRUN=8"));
    EXPECT_EQ(modem.AtCommands(), (std::vector<std::string>{"AT+KCDRUN=E", "AT+BOGUS", "AT+KCDRUN=8", "AT+KCDRUN=8"}));
}

// A reply fault on a name the device never answers under would never fire.
TEST(SimFaultsTest, RefusesRepliesOfRequestsTheDeviceDoesNotAnswer)
{
    sim::SimModem modem;
    for (const auto& [fault, request] : std::vector<std::pair<const char*, const char*>>{
             {"esn=silent", nullptr}, {"dmsswrite=nak:7*2", nullptr}, {"ready=silent", nullptr}, {"segmentcrc=badcrc", nullptr},
             {"rawblock=silent", "rawblock"}, {"damaged=silent", "damaged"}, {"ESN=late:5", "ESN"}, {"nvreed=silent", "nvreed"}}) {
        std::string error;
        EXPECT_EQ(modem.faults().Parse(fault, error), request == nullptr) << fault;
        if (request) {
            EXPECT_NE(error.find(std::string("\"") + request + "\""), std::string::npos) << error;
            EXPECT_NE(error.find(" dmsswrite "), std::string::npos) << "lists the known names: " << error;
        }
    }
    EXPECT_EQ(modem.faults().replies.size(), 4u);
}

}  // namespace
