// The challenge exchange against the simulated modem's normal software, and
// the simulator's reply faults.
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
