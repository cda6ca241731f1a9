// The flash programmer and the small images against the simulated modem:
// loading and starting the programmer, writing its own NAND image, the
// partition table and the boot-loader images, compared with the files byte
// for byte, with every pause and retry.
#include "flashing/image_procedures.h"
#include "flashing/programmer_loading.h"
#include "procedure_fixture.h"

namespace {

using namespace flashing;

class ProgrammerLoadingTest : public ProcedureSimTest {
protected:
    // DMSS writes: the address goes most significant byte first.
    Blocks RamBlocks() const
    {
        Blocks blocks;
        for (const Bytes& p : PayloadsOf("dmsswrite")) {
            blocks.emplace_back(static_cast<std::uint32_t>(p[1]) << 24 | p[2] << 16 | p[3] << 8 | p[4], p.size() - 7);
        }
        return blocks;
    }
    void LoadProgrammer()
    {
        Write("armprg.bin", Pattern(3000, 1));
        ASSERT_TRUE(LoadRamProgrammer(ctx));
        Mark();
    }
    void WriteNandFiles(std::size_t headerSize, std::size_t imageSize)
    {
        Write("nandprghd.mbn", Pattern(headerSize, 40));
        Write("nandprgcombined.mbn", Pattern(imageSize, 41));
    }
};

TEST_F(ProgrammerLoadingTest, RamProgrammerGoesToItsLoadAddressIn1017ByteBlocks)
{
    for (std::size_t size : {1017u, 1018u, 0u}) {
        Write("armprg.bin", Pattern(size, static_cast<std::uint32_t>(size)));
        ASSERT_TRUE(LoadRamProgrammer(ctx));
        EXPECT_EQ(Bytes(modem.Ram().begin(), modem.Ram().begin() + static_cast<std::ptrdiff_t>(size)),
                  Pattern(size, static_cast<std::uint32_t>(size)));
    }
    const Blocks blocks = RamBlocks();
    EXPECT_EQ(blocks, (Blocks{{0x800000, 1017}, {0x800000, 1017}, {0x800000 + 1017, 1}, {0x800000, 0}}));
}

TEST_F(ProgrammerLoadingTest, RamProgrammerFailuresLeaveTheirReason)
{
    LineContext fourth{3, line, reporter};
    EXPECT_EQ(LoadRamProgrammer(fourth).Reason(), "Line4 :\tOpen armprg.bin fail!");
    EXPECT_EQ(boxes.Texts(), Names{"Line4 :\tOpen armprg.bin fail!"});
    EXPECT_TRUE(Requests().empty());

    Write("armprg.bin", Pattern(2500, 5));
    Fault("dmsswrite=late:2*1");
    Fault("dmsswrite=nak:7*3");
    EXPECT_EQ(LoadRamProgrammer(ctx).Reason(), "Write a Block of Data to Memory Failed, Since operation did not succeed");
    EXPECT_EQ(Requests(), Names(4, "dmsswrite"));
    EXPECT_EQ(boxes.Texts().size(), 1u);
}

TEST_F(ProgrammerLoadingTest, UnansweredGoAloneDoesNotFailTheStart)
{
    LoadProgrammer();
    // The go is taken but its reply damaged; the programmer ignores the repeats.
    Fault("go=badcrc*1");
    Fault("unknown=silent*2");
    EXPECT_TRUE(StartProgrammer(ctx));
    EXPECT_EQ(Requests(), (Names{"go", "unknown", "unknown", "hello", "snop"}));
    EXPECT_EQ(clockSeen.pauses, Pauses{2000});
    // The go's failure does not linger as the reason of the start that succeeded.
    EXPECT_EQ(line.protocol.LastError(), "");
}

TEST_F(ProgrammerLoadingTest, GreetingIsTriedThreeTimesWithOnePause)
{
    LoadProgrammer();
    Fault("hello=silent*9");
    EXPECT_FALSE(StartProgrammer(ctx));
    Names expected(10, "hello");
    expected[0] = "go";
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(clockSeen.pauses, (Pauses{2000, 2000}));
}

TEST_F(ProgrammerLoadingTest, SilentProgrammerIsAskedAgainOnReopenedPortsTwice)
{
    LoadProgrammer();
    Fault("snop=silent*3");
    EXPECT_FALSE(StartProgrammer(ctx));
    EXPECT_EQ(Requests(), (Names{"go", "hello", "snop", "snop", "snop"}));
    EXPECT_EQ(clockSeen.pauses, (Pauses{2000, 1000, 1000}));
    EXPECT_EQ(ports.opens, (std::map<int, int>{{kDiagPort, 2}}));
}

TEST_F(ProgrammerLoadingTest, AnEmptyNandProgrammerImageIsOneEmptyBlock)
{
    RunProgrammer();
    WriteNandFiles(40, 0);
    EXPECT_TRUE(WriteNandProgrammerImage(ctx));
    EXPECT_EQ(StreamBlocks(), (Blocks{{0, 0}}));
    EXPECT_EQ(Requests(), (Names{"open", "swrite", "close"}));
    EXPECT_TRUE(modem.Images().at(10).closed);
}

TEST_F(ProgrammerLoadingTest, NandProgrammerFileChecks)
{
    RunProgrammer();
    Write("nandprgcombined.mbn", Pattern(100, 1));
    EXPECT_TRUE(WriteNandProgrammerImage(ctx));  // no header: the image is skipped
    WriteNandFiles(0, 100);
    EXPECT_FALSE(WriteNandProgrammerImage(ctx));
    WriteNandFiles(1025, 100);
    EXPECT_FALSE(WriteNandProgrammerImage(ctx));
    EXPECT_TRUE(Requests().empty());
    std::filesystem::remove(folder / "nandprgcombined.mbn");
    Write("nandprghd.mbn", Pattern(1024, 40));
    EXPECT_FALSE(WriteNandProgrammerImage(ctx));
    EXPECT_EQ(Requests(), Names{"open"});
    EXPECT_EQ(modem.Images().at(10).header, Pattern(1024, 40));
    EXPECT_EQ(Entries(), (Names{"open file fail", "The file's length is error", "nandprghd.mbn is longer than 1024 bytes",
                                "Open file fail"}));
}

TEST_F(ProgrammerLoadingTest, NandProgrammerHeaderAndFailedBlockAreSentFourTimesAtMost)
{
    RunProgrammer();
    WriteNandFiles(40, 1500);
    Fault("swrite=late:2*1");
    Fault("swrite=streamerror:7*1");
    EXPECT_TRUE(WriteNandProgrammerImage(ctx));
    EXPECT_EQ(StreamBlocks(), (Blocks{{0, 1024}, {1024, 476}, {1024, 476}}));
    EXPECT_EQ(clockSeen.pauses, Pauses{2000});
    EXPECT_TRUE(ports.opens.empty());

    Mark();
    Fault("swrite=streamerror:7*3");
    EXPECT_TRUE(WriteNandProgrammerImage(ctx));
    EXPECT_EQ(StreamBlocks(), (Blocks{{0, 1024}, {0, 1024}, {0, 1024}, {0, 1024}, {1024, 476}}));
    EXPECT_EQ(clockSeen.pauses, (Pauses{2000, 2000, 2000, 2000}));
    EXPECT_EQ(ports.opens, (std::map<int, int>{{kModemPort, 2}}));
    EXPECT_EQ(modem.Images().at(10).data, Pattern(1500, 41));

    Mark();
    Fault("swrite=streamerror:7*4");
    EXPECT_FALSE(WriteNandProgrammerImage(ctx));
    EXPECT_EQ(Requests(), (Names{"open", "swrite", "swrite", "swrite", "swrite"}));
    EXPECT_EQ(Entries(), Names{"Write a Block of Data to Memory Failed, Since Operation failed"});

    // The header too goes four times at most, each a request sent twice.
    Mark();
    Fault("open=streamerror:7*8");
    EXPECT_FALSE(WriteNandProgrammerImage(ctx));
    EXPECT_EQ(Requests(), Names(8, "open"));
    EXPECT_EQ(clockSeen.pauses, (Pauses{2000, 2000, 2000}));
    EXPECT_EQ(Entries(), Names{"download nandprghd fail!"});
}

class ImageProceduresTest : public ProcedureSimTest {
protected:
    void SetUp() override
    {
        ProcedureSimTest::SetUp();
        RunProgrammer();
        Write("qcsblhd_cfgdata.mbn", Pattern(1336, 20));
        Write("qcsbl.mbn", Pattern(1024, 30));
        Write("oemsblhd.mbn", Pattern(40, 40));
        Write("oemsbl.mbn", Pattern(1025, 50));
    }
};

TEST_F(ImageProceduresTest, PartitionTableGoesWholeAndIsSentThreeTimesAtMost)
{
    Write("partition.mbn", Pattern(1024, 10));
    Fault("partition=streamerror:7*2");
    EXPECT_TRUE(WritePartitionTable(ctx));
    EXPECT_EQ(modem.PartitionTable(), Pattern(1024, 10));
    EXPECT_EQ(clockSeen.pauses, (Pauses{2000, 2000}));

    Mark();
    Fault("partition=streamerror:7*3");
    EXPECT_FALSE(WritePartitionTable(ctx));
    EXPECT_EQ(Requests(), Names(3, "partition"));
    EXPECT_EQ(clockSeen.pauses, (Pauses{2000, 2000}));
}

// Sizes at a block boundary and one past it.
TEST_F(ImageProceduresTest, BootImagesAreStreamedAtTheirFileOffsets)
{
    EXPECT_TRUE(WriteQcsblImage(ctx));
    EXPECT_EQ(StreamBlocks(), (Blocks{{0, 1024}}));
    Mark();
    EXPECT_TRUE(WriteOemsblImage(ctx));
    EXPECT_EQ(StreamBlocks(), (Blocks{{0, 1024}, {1024, 1}}));
    EXPECT_EQ(Requests(), (Names{"open", "swrite", "swrite", "close"}));
    EXPECT_EQ(modem.Images().at(4).data, Pattern(1025, 50));
    EXPECT_TRUE(clockSeen.pauses.empty());
}

TEST_F(ImageProceduresTest, ImageThatWillNotOpenIsAskedForTwiceAndNamed)
{
    Fault("open=streamerror:5*12");
    EXPECT_FALSE(WriteCfgDataImage(ctx));
    EXPECT_FALSE(WriteQcsblImage(ctx));
    EXPECT_FALSE(WriteOemsblImage(ctx));
    EXPECT_EQ(Entries(), (Names{"Enter Secondbootloaderheader mode fail!", "enter Secondbootloader mode fail!",
                                "enter DownloadOEMbootloader mode fail!"}));
    EXPECT_EQ(Requests(), Names(12, "open"));
    EXPECT_EQ(clockSeen.pauses, (Pauses{2000, 2000, 2000}));
}

TEST_F(ImageProceduresTest, FilesAreCheckedBeforeTheirImageOpens)
{
    // The partition table must go whole, in one request.
    EXPECT_FALSE(WritePartitionTable(ctx));
    Write("partition.mbn", {});
    EXPECT_FALSE(WritePartitionTable(ctx));
    Write("partition.mbn", Pattern(1025, 12));
    EXPECT_FALSE(WritePartitionTable(ctx));
    std::filesystem::remove(folder / "qcsblhd_cfgdata.mbn");
    EXPECT_FALSE(WriteCfgDataImage(ctx));
    Write("qcsbl.mbn", {});
    EXPECT_FALSE(WriteQcsblImage(ctx));
    Write("oemsblhd.mbn", Pattern(1025, 40));
    EXPECT_FALSE(WriteOemsblImage(ctx));  // the loader is not looked at yet
    EXPECT_TRUE(Requests().empty());
    // The loader itself is opened once its image is.
    Write("oemsblhd.mbn", Pattern(1024, 40));
    Write("oemsbl.mbn", {});
    EXPECT_FALSE(WriteOemsblImage(ctx));
    EXPECT_EQ(Requests(), Names{"open"});
    EXPECT_EQ(modem.Images().at(4).header, Pattern(1024, 40));
    EXPECT_EQ(Entries(), (Names{"open file fail!", "The length of file is not correct",
                                "partition.mbn is longer than 1024 bytes", "open file fail!",
                                "The length of file is not correct", "oemsblhd.mbn is longer than 1024 bytes",
                                "The length of file is not correct"}));
}

TEST_F(ImageProceduresTest, FailedBlockOrCloseEndsTheImageAtOnce)
{
    Write("qcsblhd_cfgdata.mbn", Pattern(3000, 20));
    Fault("swrite=late:2*1");
    Fault("swrite=streamerror:18*1");
    EXPECT_FALSE(WriteCfgDataImage(ctx));
    EXPECT_EQ(Requests(), (Names{"open", "swrite", "swrite"}));
    Fault("close=streamerror:16*3");
    EXPECT_FALSE(WriteQcsblImage(ctx));
    EXPECT_EQ(Entries(), (Names{"Write a Block of Data to Memory Failed, Since Out of space", "ClosePacket error"}));
    EXPECT_TRUE(clockSeen.pauses.empty());
}

}  // namespace
