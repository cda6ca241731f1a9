// NV backup and restore against the simulated modem's NV store: what reaches
// the file and the device, in which order, and every pause.
#include "workflow/nv_backup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "diag/nv_items.h"
#include "flashing/check_block.h"
#include "flashing/line_paths.h"
#include "line_sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using Items = std::vector<std::uint16_t>;
using workflow::NvItemList;
using workflow::NvTable;

constexpr int kDiagPort = 12;
constexpr const char* kBadFile = "NVM file for backup NV doesn't exist or destroyed";

Items Listed(std::size_t count = workflow::kNvListedItems)
{
    return Items(NvItemList().begin(), NvItemList().begin() + static_cast<std::ptrdiff_t>(count));
}

// Line 1 against the simulated modem in its normal software; pauses of
// 100 ms or more are the procedures' own, reply polls are shorter.
class NvBackupTest : public LineSimTest {
protected:
    NvBackupTest() : LineSimTest(100) {}

    void SetUp() override
    {
        LineSimTest::SetUp();
        line.diagPort = kDiagPort;
        ASSERT_TRUE(OpenDiagPort(line, kDiagPort, 115200));
        // A modem software image whose check block the device accepts.
        Bytes amss(512, 0x11);
        std::copy(std::begin(flashing::kCheckBlockMagic), std::end(flashing::kCheckBlockMagic), amss.begin() + 64);
        Write("amss.mbn", amss);
    }

    NvTable Saved() const
    {
        const Bytes bytes = ReadFile(path);
        EXPECT_EQ(bytes.size(), NvTable::kSize);
        if (bytes.size() != NvTable::kSize) return NvTable();
        return NvTable::Decode(std::span<const std::uint8_t, NvTable::kSize>(bytes));
    }
    // A backup that reads every item; what follows counts from here.
    void BackUp()
    {
        ASSERT_TRUE(workflow::NvBackup(ctx, path));
        Mark();
    }
    // Item numbers of the NV requests of one kind, in the order sent.
    Items ItemsOf(const std::string& request) const
    {
        Items items;
        for (const Bytes& p : PayloadsOf(request)) items.push_back(static_cast<std::uint16_t>(p[1] | p[2] << 8));
        return items;
    }

    std::string path = (folder / flashing::kNvBackupFile).string();
};

TEST_F(NvBackupTest, BackupReadsEveryListedItemIntoTheFile)
{
    EXPECT_TRUE(workflow::NvBackup(ctx, path));

    const NvTable table = Saved();
    for (std::size_t i = 0; i < workflow::kNvListedItems; ++i) {
        ASSERT_EQ(table[i], (workflow::NvRecord{NvItemList()[i], modem.nv().Value(NvItemList()[i]), 0})) << "record " << i;
    }
    EXPECT_EQ(table[978], (workflow::NvRecord{9999, {}, 0}));
    EXPECT_EQ(table[979], workflow::NvRecord{});
    // Twice-listed items are read twice, in list order.
    EXPECT_EQ(ItemsOf("nvread"), Listed());
    EXPECT_TRUE(clockSeen.pauses.empty());
}

TEST_F(NvBackupTest, RefusedCheckBlockIsSentOnceMoreAfter100Ms)
{
    fs::remove(folder / "amss.mbn");
    EXPECT_TRUE(workflow::NvBackup(ctx, path));
    const Names requests = Requests();
    EXPECT_EQ(Names(requests.begin(), requests.begin() + 3), (Names{"downloadcheck", "downloadcheck", "nvread"}));
    EXPECT_EQ(clockSeen.pauses, Pauses{100});
}

TEST_F(NvBackupTest, UnreadableItemsAreMarkedAndDoNotFailTheBackup)
{
    modem.nv().SetKind(550, sim::NvKind::Inactive);
    modem.nv().SetKind(90, sim::NvKind::Unsupported);
    // The first item is read at the second try.
    Fault("nvread=silent*3");
    EXPECT_TRUE(workflow::NvBackup(ctx, path));

    const NvTable table = Saved();
    EXPECT_EQ(table[0], (workflow::NvRecord{1801, modem.nv().Value(1801), 0}));
    EXPECT_EQ(table[38], (workflow::NvRecord{550, {}, diag::NV_NOTACTIVE_S}));
    EXPECT_EQ(table[40], (workflow::NvRecord{90, {}, diag::NV_RWOPFAILED_S}));
    // Each read is one request unless it goes unanswered or draws an error
    // reply; then the request itself is sent three times.
    Items expected = Listed();
    expected.insert(expected.begin() + 40, 8, 90);
    expected.insert(expected.begin() + 38, 2, 550);
    expected.insert(expected.begin(), 3, 1801);
    EXPECT_EQ(ItemsOf("nvread"), expected);
    EXPECT_EQ(clockSeen.pauses, (Pauses{100, 100, 100, 100, 100, 100, 100}));
}

TEST_F(NvBackupTest, ItemWhoseRepliesWereLostIsReadOnceMoreAtTheEnd)
{
    // Every request of the first item's three reads goes unanswered.
    Fault("nvread=silent*9");
    EXPECT_TRUE(workflow::NvBackup(ctx, path));
    EXPECT_EQ(Saved()[0], (workflow::NvRecord{1801, modem.nv().Value(1801), 0}));
    Items expected = Listed();
    expected.insert(expected.begin(), 8, 1801);
    expected.push_back(1801);
    EXPECT_EQ(ItemsOf("nvread"), expected);
}

TEST_F(NvBackupTest, SilentDeviceLeavesAFileThatRestoresNothing)
{
    Fault("nvread=silent");
    EXPECT_EQ(workflow::NvBackup(ctx, path).Reason(),
              "978 NV items got no valid reply from the device; the first is item 1801");
    const NvTable table = Saved();
    for (std::size_t i = 0; i < workflow::kNvListedItems; ++i) {
        ASSERT_EQ(table[i], (workflow::NvRecord{NvItemList()[i], {}, diag::NV_RWOPFAILED_S})) << "record " << i;
    }
    // Every item is read a second round before the backup gives up on it.
    EXPECT_EQ(clockSeen.pauses, Pauses(2 * 3 * 978, 100));
    EXPECT_EQ(Entries().back(), "978 NV items got no valid reply from the device; the first is item 1801");

    Mark();
    EXPECT_TRUE(workflow::NvRestore(ctx, path));
    EXPECT_EQ(Requests(), (Names{"downloadcheck", "mode", "mode"}));
    EXPECT_EQ(modem.nv().Writes(), 0);
}

TEST_F(NvBackupTest, RestoreBringsBackEveryValueAfterAFactoryReset)
{
    BackUp();
    std::map<std::uint16_t, sim::NvData> before;
    for (std::uint16_t item : Listed()) before[item] = modem.nv().Value(item);
    modem.nv().ResetToFactory();
    ASSERT_NE(modem.nv().Value(1801), before[1801]);

    EXPECT_TRUE(workflow::NvRestore(ctx, path));
    for (const auto& [item, value] : before) ASSERT_EQ(modem.nv().Value(item), value) << "item " << item;
    EXPECT_FALSE(modem.Offline());
    EXPECT_EQ(clockSeen.pauses, (Pauses{1000, 1000}));

    // Each mode change is tried three times, 200 ms apart.
    Mark();
    Fault("mode=diagerror:19*5");
    EXPECT_TRUE(workflow::NvRestore(ctx, path));
    EXPECT_EQ(clockSeen.pauses, (Pauses{200, 200, 200, 1000, 200, 200, 1000}));
    EXPECT_FALSE(modem.Offline());
}

TEST_F(NvBackupTest, ItemsThatCannotBeWrittenAreSkipped)
{
    modem.nv().SetKind(550, sim::NvKind::Inactive);  // not read: nothing to restore
    modem.nv().SetKind(22, sim::NvKind::ReadOnly);
    BackUp();
    modem.faults().nvStatus[524] = diag::NV_NOTACTIVE_S;
    // The first write goes unanswered, the second one is taken.
    Fault("nvwrite=silent*3");

    EXPECT_TRUE(workflow::NvRestore(ctx, path));
    Items expected = Listed();
    expected.erase(expected.begin() + 38);
    expected.insert(expected.begin(), 3, 1801);
    EXPECT_EQ(ItemsOf("nvwrite"), expected);
}

TEST_F(NvBackupTest, ItemWrittenInVainTwiceStopsTheRestoreAtOnce)
{
    BackUp();
    modem.faults().nvStatus[NvItemList()[100]] = diag::NV_FAIL_S;
    EXPECT_FALSE(workflow::NvRestore(ctx, path));
    Items expected = Listed(101);
    expected.push_back(NvItemList()[100]);
    EXPECT_EQ(ItemsOf("nvwrite"), expected);
    EXPECT_TRUE(modem.Offline());
    EXPECT_EQ(clockSeen.pauses, Pauses{1000});
}

TEST_F(NvBackupTest, ItemNumbersAndStatusComeFromTheFile)
{
    NvTable table;
    table[0].data.fill(0x31);
    table[1] = {1234, {0x32}, 0};
    table[2] = {7, {0x33}, 0};
    table[3] = {8, {0x34}, diag::NV_READONLY_S};  // not read at backup
    table[4] = {40000, {}, 0};                    // past the end mark when read unsigned
    ASSERT_TRUE(workflow::SaveNvTable(ctx, table, path));
    Mark();

    EXPECT_TRUE(workflow::NvRestore(ctx, path));
    EXPECT_EQ(ItemsOf("nvwrite"), (Items{1801, 1234, 7}));
    for (std::size_t i : {0u, 1u, 2u}) EXPECT_EQ(modem.nv().Value(table[i].item), table[i].data);
}

TEST_F(NvBackupTest, OnlyAFileOfOneWholeTableIsRestored)
{
    for (std::size_t size : {NvTable::kSize - 1, std::size_t{0}, NvTable::kSize + 1}) {
        WriteFile(path, Bytes(size, 0));
        EXPECT_FALSE(workflow::NvRestore(ctx, path)) << size;
    }
    EXPECT_EQ(boxes.Texts(), Names(3, kBadFile));

    // Missing or no file at all: refused without a word.
    fs::remove(path);
    EXPECT_FALSE(workflow::NvRestore(ctx, path));
    fs::create_directory(path);
    EXPECT_FALSE(workflow::NvRestore(ctx, path));
    EXPECT_EQ(boxes.Boxes().size(), 3u);
    EXPECT_EQ(Requests(), Names(5, "downloadcheck"));
    EXPECT_EQ(modem.nv().Writes(), 0);
}

TEST_F(NvBackupTest, FailedSaveKeepsWhatWasThere)
{
    BackUp();
    const Bytes earlier = ReadFile(path);
    modem.nv().ResetToFactory();
    {
        FileSizeLimit limit(4096);
        EXPECT_EQ(workflow::NvBackup(ctx, path).Reason(), "the backup could not be saved to " + path);
    }
    EXPECT_EQ(ReadFile(path), earlier);
    EXPECT_EQ(Entries(), (Names{"Downloading...", "Line 1 fail to save data into " + path + " (27)"}));
    // Nothing but the image and the backup's place is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()), 2);
}

}  // namespace
