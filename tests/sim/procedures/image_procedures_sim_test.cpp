// The partition table and the boot-loader images written through the
// simulated modem's flash programmer, compared with the files byte for byte.
#include "flashing/image_procedures.h"

#include "procedure_fixture.h"

namespace {

using flashing::WriteCfgDataImage;
using flashing::WriteOemsblImage;
using flashing::WritePartitionTable;
using flashing::WriteQcsblImage;

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
    EXPECT_TRUE(Entries().empty());
    EXPECT_EQ(line.protocol.LastError().rfind("Cannot download partition, Since ", 0), 0u);
}

TEST_F(ImageProceduresTest, BootImagesAreStreamedAtTheirFileOffsets)
{
    EXPECT_TRUE(WriteCfgDataImage(ctx));
    EXPECT_EQ(StreamBlocks(), (Blocks{{0, 1024}, {1024, 312}}));
    Mark();
    EXPECT_TRUE(WriteQcsblImage(ctx));
    EXPECT_EQ(StreamBlocks(), (Blocks{{0, 1024}}));
    Mark();
    EXPECT_TRUE(WriteOemsblImage(ctx));
    EXPECT_EQ(StreamBlocks(), (Blocks{{0, 1024}, {1024, 1}}));
    EXPECT_EQ(Requests(), (Names{"open", "swrite", "swrite", "close"}));

    const auto& images = modem.Images();
    EXPECT_EQ(images.at(2).data, Pattern(1336, 20));
    EXPECT_EQ(images.at(3).data, Pattern(1024, 30));
    EXPECT_EQ(images.at(4).header, Pattern(40, 40));
    EXPECT_EQ(images.at(4).data, Pattern(1025, 50));
    EXPECT_TRUE(images.at(2).header.empty() && images.at(3).header.empty());
    EXPECT_TRUE(images.at(2).closed && images.at(3).closed && images.at(4).closed);
    EXPECT_TRUE(reporter.Entries().empty());
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
