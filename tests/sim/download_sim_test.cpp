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

TEST_F(DownloaderSimTest, ProgrammerStoresStreamedImages)
{
    StartProgrammer();
    const Bytes table = Pattern(464, 3);
    ASSERT_TRUE(download::SendPartitionTable(protocol, table.data(), static_cast<std::uint32_t>(table.size())));
    EXPECT_EQ(modem.PartitionTable(), table);

    const Bytes header = Pattern(40, 4);
    const Bytes image = Pattern(1336, 5);
    ASSERT_TRUE(download::OpenMultiImage(protocol, 4, header.data(), static_cast<std::uint32_t>(header.size())));
    for (std::uint32_t sent = 0; sent < image.size(); sent += 1024) {
        const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(1024, image.size() - sent));
        ASSERT_TRUE(download::StreamWrite(protocol, sent, image.data() + sent, length));
    }
    ASSERT_TRUE(download::CloseImage(protocol));
    const sim::FlashImage& stored = modem.Images().at(4);
    EXPECT_EQ(stored.header, header);
    EXPECT_EQ(stored.data, image);
    EXPECT_TRUE(stored.closed);
}

TEST_F(DownloaderSimTest, LateAcknowledgementsAreCollectedInOrder)
{
    StartProgrammer();
    ASSERT_TRUE(download::OpenMultiImage(protocol, 2, nullptr, 0));
    std::string error;
    ASSERT_TRUE(modem.faults().Parse("swrite=late:3100*1", error));
    const Bytes block = Pattern(1024, 9);
    const std::uint32_t start = Now();
    EXPECT_TRUE(download::StreamWrite(protocol, 0x1000, block.data(), 1024));
    EXPECT_GE(Now() - start, 3000u);
    EXPECT_EQ(protocol.LastError(), "");

    // The late reply, queued meanwhile, and the next one are read together.
    Wait(100);
    EXPECT_TRUE(download::StreamWrite(protocol, 0x1400, block.data(), 1024));
    EXPECT_EQ(std::vector<std::uint32_t>(protocol.Acknowledged().begin(), protocol.Acknowledged().end()),
              (std::vector<std::uint32_t>{0x1000, 0x1400}));
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

TEST_F(DownloaderSimTest, StreamResetBringsTheDeviceBackInNormalMode)
{
    StartProgrammer();
    EXPECT_TRUE(download::StreamReset(protocol));
    EXPECT_FALSE(modem.Present());
    Wait(4000);
    ASSERT_TRUE(OpenDiag());
    EXPECT_EQ(modem.Mode(), sim::SimMode::Normal);
    std::uint32_t esn = 0;
    EXPECT_TRUE(diag::GetEsn(protocol, esn));
}

}  // namespace
