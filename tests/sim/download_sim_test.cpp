// The boot downloader and the flash programmer of the simulated modem,
// driven through the DMSS and streaming requests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "link/frame_codec.h"
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
    EXPECT_EQ(protocol.lastError, "Write a Block of Data to Memory Failed, Since destination address is invalid");
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
    EXPECT_EQ(protocol.lastError, "time is " + std::to_string(Now() - start) + "(ms)");

    // The late reply, queued meanwhile, and the next one are read together.
    Wait(100);
    EXPECT_TRUE(download::StreamWrite(protocol, 0x1400, block.data(), 1024));
    ASSERT_EQ(protocol.ackCount, 2);
    EXPECT_EQ(protocol.ackAddresses[0], 0x1000u);
    EXPECT_EQ(protocol.ackAddresses[1], 0x1400u);
}

TEST_F(DownloaderSimTest, WritesBeyondTheFlashAreRefused)
{
    StartProgrammer();
    ASSERT_TRUE(download::OpenMultiImage(protocol, 2, nullptr, 0));
    const Bytes block(16, 0x55);
    // One byte past the 128 MB NAND, and near the top of the address space.
    for (const std::uint32_t address : {0x8000000u - 15, 0xFFFFFF00u}) {
        EXPECT_FALSE(download::StreamWrite(protocol, address, block.data(), 16)) << std::hex << address;
        EXPECT_EQ(protocol.lastError, "Write a Block of Data to Memory Failed, Since Invalid destination address");
    }
    EXPECT_TRUE(modem.Images().at(2).data.empty());
    ASSERT_TRUE(download::StreamWrite(protocol, 0, block.data(), 16));
    EXPECT_EQ(modem.Images().at(2).data, block);
}

class HighSpeedSimTest : public DownloaderSimTest {
protected:
    void SetUp() override
    {
        DownloaderSimTest::SetUp();
        StartProgrammer();
        ASSERT_TRUE(download::OpenMultiImage(protocol, 9, nullptr, 0));
    }

    void SendBlock(const Bytes& image, std::size_t offset, std::size_t size)
    {
        Bytes block(image.begin() + offset, image.begin() + offset + size);
        const std::uint32_t sum = frame::BlockChecksum(block.data(), block.size());
        for (int i = 0; i < 4; ++i) block.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));
        ASSERT_EQ(protocol.port.Write(block.data(), static_cast<std::uint32_t>(block.size())), block.size());
    }
};

TEST_F(HighSpeedSimTest, ChecksumModeBlockIsReadiedVerifiedAndReported)
{
    const Bytes image = Pattern(0x20001, 11);
    ASSERT_TRUE(download::SendRegionCommand(protocol, static_cast<std::uint32_t>(image.size()), 1));
    ASSERT_TRUE(download::WaitReady(protocol));
    SendBlock(image, 0, 0x20000);
    bool verified = false;
    EXPECT_TRUE(download::WaitVerify(protocol, verified));
    EXPECT_TRUE(verified);
    std::uint32_t highest = 0;
    for (int round = 0; round < 100 && highest < 0x1FFFF; ++round) {
        ASSERT_TRUE(download::ReadOneFrame(protocol));
        if (protocol.ackCount) highest = protocol.ackAddresses[protocol.ackCount - 1];
        Wait(10);
    }
    EXPECT_EQ(highest, 0x1FFFFu);

    // A one-byte last block, rejected once and then accepted.
    modem.faults().blockRejects = 1;
    ASSERT_TRUE(download::WaitReady(protocol));
    SendBlock(image, 0x20000, 1);
    verified = true;
    EXPECT_TRUE(download::WaitVerify(protocol, verified));
    EXPECT_FALSE(verified);
    ASSERT_TRUE(download::WaitReady(protocol));
    SendBlock(image, 0x20000, 1);
    EXPECT_TRUE(download::WaitVerify(protocol, verified));
    EXPECT_TRUE(verified);
    ASSERT_TRUE(download::CloseImage(protocol));
    EXPECT_EQ(modem.Images().at(9).data, image);
}

TEST_F(HighSpeedSimTest, SegmentIsAnsweredWithItsCrcAndWrittenReports)
{
    const Bytes segment = Pattern(0x50000 + 123, 13);
    const auto path = std::filesystem::temp_directory_path() / ("segment-" + std::to_string(::getpid()) + ".bin");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(segment.data()), static_cast<std::streamsize>(segment.size()));
    }
    std::uint8_t crc1 = 0;
    std::uint8_t crc2 = 0;
    ASSERT_TRUE(download::FileRegionChecksum(path, 0, segment.size(), crc1, crc2));
    std::filesystem::remove(path);

    ASSERT_TRUE(download::SendRegionCommand(protocol, static_cast<std::uint32_t>(segment.size()), 0, crc1, crc2));
    for (std::size_t sent = 0; sent < segment.size(); sent += 0x21000) {
        const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(0x21000, segment.size() - sent));
        ASSERT_EQ(protocol.port.Write(segment.data() + sent, length), length);
    }
    Wait(3000);
    ASSERT_TRUE(download::ReadOneFrame(protocol));
    ASSERT_EQ(protocol.ackCount, 1);
    EXPECT_EQ((protocol.ackAddresses[0] >> 16) & 0xFF, crc1);
    EXPECT_EQ(protocol.ackAddresses[0] >> 24, crc2);

    std::vector<std::uint32_t> reports;
    for (int round = 0; round < 100 && (reports.empty() || reports.back() < segment.size() - 1); ++round) {
        ASSERT_TRUE(download::ReadOneFrame(protocol));
        for (int i = 0; i < protocol.ackCount; ++i) reports.push_back(protocol.ackAddresses[i]);
    }
    EXPECT_EQ(reports, (std::vector<std::uint32_t>{0x1FFFF, 0x3FFFF, 0x4FFFF + 123}));
    ASSERT_TRUE(download::CloseImage(protocol));
    EXPECT_EQ(modem.Images().at(9).data, segment);
}

TEST_F(HighSpeedSimTest, WrongSegmentCrcIsReported)
{
    modem.faults().wrongSegmentCrc = true;
    const Bytes segment = Pattern(1000, 14);
    const std::uint16_t crc = static_cast<std::uint16_t>(~frame::CrcUpdate(0, segment.data(), segment.size()));
    ASSERT_TRUE(download::SendRegionCommand(protocol, 1000, 0, static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)));
    ASSERT_EQ(protocol.port.Write(segment.data(), 1000), 1000u);
    Wait(3000);
    ASSERT_TRUE(download::ReadOneFrame(protocol));
    ASSERT_EQ(protocol.ackCount, 1);
    EXPECT_NE(protocol.ackAddresses[0] >> 16, crc);
}

TEST_F(HighSpeedSimTest, StreamResetBringsTheDeviceBackInNormalMode)
{
    EXPECT_TRUE(download::StreamReset(protocol));
    EXPECT_FALSE(modem.Present());
    Wait(4000);
    ASSERT_TRUE(OpenDiag());
    EXPECT_EQ(modem.Mode(), sim::SimMode::Normal);
    std::uint32_t esn = 0;
    EXPECT_TRUE(diag::GetEsn(protocol, esn));
}

}  // namespace
