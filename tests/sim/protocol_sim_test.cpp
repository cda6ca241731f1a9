// The simulated modem against the host's protocols where the procedures'
// and the upgrade's simulated runs do not reach: the challenge exchange with
// escaped bytes, the simulator's reply faults, and the addresses the boot
// downloader and the flash programmer refuse.
#include <gtest/gtest.h>

#include <array>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "link/md5.h"
#include "sim_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

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

class DownloaderSimTest : public SimTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(OpenDiag());
        ASSERT_TRUE(diag::SwitchToDownloader(protocol));
        Wait(1500);
        ASSERT_TRUE(OpenDiag());
        ASSERT_EQ(modem.Mode(), sim::SimMode::Downloader);
        ASSERT_EQ(modem.ModemPort(), -1);
    }
};

TEST_F(DownloaderSimTest, WritesOutsideTheRamAndBeyondTheFlashAreRefusedWithTheirReason)
{
    const Bytes programmer(1000, 0x5A);
    EXPECT_FALSE(download::DmssWrite(protocol, 0x100, programmer.data(), 3));
    EXPECT_EQ(protocol.LastError(), "Write a Block of Data to Memory Failed, Since destination address is invalid");
    ASSERT_TRUE(download::DmssWrite(protocol, 0x800000, programmer.data(), 1000));
    ASSERT_TRUE(download::DmssGo(protocol, 0x0080, 0x0000));
    ASSERT_TRUE(download::Hello(protocol) && download::EnterSecurityMode(protocol));
    ASSERT_TRUE(download::OpenMultiImage(protocol, 2, nullptr, 0));
    const Bytes block(16, 0x55);
    download::StreamInbox inbox;
    // One byte past the 128 MB NAND, and near the top of the address space.
    for (const std::uint32_t address : {0x8000000u - 15, 0xFFFFFF00u}) {
        EXPECT_FALSE(download::StreamWrite(protocol, inbox, address, block.data(), 16)) << std::hex << address;
        EXPECT_EQ(protocol.LastError(), "Write a Block of Data to Memory Failed, Since Invalid destination address");
    }
    EXPECT_TRUE(modem.Images().at(2).data.empty());
    ASSERT_TRUE(download::StreamWrite(protocol, inbox, 0, block.data(), 16));
    EXPECT_EQ(modem.Images().at(2).data, block);
}

}  // namespace
