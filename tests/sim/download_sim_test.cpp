// The boot downloader and the flash programmer of the simulated modem,
// driven through the DMSS and streaming requests. The high-speed transfer's
// requests are driven by its procedures' own simulated runs.
#include <gtest/gtest.h>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "sim_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t size, std::uint32_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
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

    void StartProgrammer()
    {
        const Bytes programmer = Pattern(3000, 7);
        for (std::uint32_t sent = 0; sent < programmer.size(); sent += 1017) {
            const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(1017, programmer.size() - sent));
            ASSERT_TRUE(download::DmssWrite(protocol, 0x800000 + sent, programmer.data() + sent, length));
        }
        ASSERT_TRUE(download::DmssGo(protocol, 0x0080, 0x0000));
        ASSERT_EQ(Bytes(modem.Ram().begin(), modem.Ram().begin() + modem.RamHighWater()), programmer);
        ASSERT_TRUE(download::Hello(protocol));
        ASSERT_TRUE(download::EnterSecurityMode(protocol));
    }
};

TEST_F(DownloaderSimTest, WriteOutsideTheRamIsRefusedWithItsReason)
{
    const Bytes block{1, 2, 3};
    EXPECT_FALSE(download::DmssWrite(protocol, 0x100, block.data(), 3));
    EXPECT_EQ(protocol.LastError(), "Write a Block of Data to Memory Failed, Since destination address is invalid");
}

TEST_F(DownloaderSimTest, WritesBeyondTheFlashAreRefused)
{
    StartProgrammer();
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
