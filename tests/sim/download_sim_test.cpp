// Addresses the boot downloader and the flash programmer of the simulated
// modem refuse. Their ordinary requests run in the procedures' and the
// upgrade's simulated runs.
#include <gtest/gtest.h>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "sim_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

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
    // One byte past the 128 MB NAND, and near the top of the address space.
    for (const std::uint32_t address : {0x8000000u - 15, 0xFFFFFF00u}) {
        EXPECT_FALSE(download::StreamWrite(protocol, address, block.data(), 16)) << std::hex << address;
        EXPECT_EQ(protocol.LastError(), "Write a Block of Data to Memory Failed, Since Invalid destination address");
    }
    EXPECT_TRUE(modem.Images().at(2).data.empty());
    ASSERT_TRUE(download::StreamWrite(protocol, 0, block.data(), 16));
    EXPECT_EQ(modem.Images().at(2).data, block);
}

}  // namespace
