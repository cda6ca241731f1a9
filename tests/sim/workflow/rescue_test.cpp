// A device that an earlier run left behind, taken up from its run journal:
// the earlier run is cut short in the simulated modem, then "UPDATE" is
// pressed again as the port search would offer it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "upgrade_fixture.h"
#include "workflow/nv_backup.h"
#include "workflow/run_journal.h"

namespace {

class RescueTest : public UpgradeTest {
protected:
    RescueTest() { control.OnFinish([this](int, RunEnd end) { ended = end; }); }

    void SetUp() override
    {
        UpgradeTest::SetUp();
        for (const std::uint16_t item : workflow::NvItemList()) original.emplace(item, modem.nv().Value(item));
    }

    // The first run, cut short by `faults`; they are gone afterwards.
    void CutShort(const std::vector<const char*>& faults)
    {
        for (const char* fault : faults) Fault(fault);
        Run();
        ASSERT_TRUE(ended && ended->code != FinishCode::Success);
        modem.faults().replies.clear();
        ASSERT_EQ(Journals().size(), 1u) << report.LineText(0);
        backup = Journals().front().backup;
        ASSERT_TRUE(NvAsBefore(false));
    }

    // Where the port search of a new start leaves a device once it is back
    // on the bus, the firmware extracted again.
    void Found(DeviceMode mode)
    {
        WriteFirmware();
        Wait(20000);
        ASSERT_TRUE(modem.Present());
        DownloadLine& line = Line();
        line.diagPort = modem.DiagPort();
        line.modemPort = modem.ModemPort();
        ASSERT_TRUE(OpenDiagPort(line, line.diagPort, 115200));
        if (mode == DeviceMode::Normal) {
            ASSERT_TRUE(OpenModemPort(line, line.modemPort, 115200) && CheckPhoneInfo(line));
        }
        line.state = LineState::PhoneFound;
        line.mode = mode;
    }

    std::vector<workflow::RunJournal> Journals() { return workflow::FindJournals(folder.String(), clock.Now()).journals; }
    std::size_t Received() const { return modem.Received().size(); }
    int CountSince(std::size_t from, const char* name) const
    {
        const auto& received = modem.Received();
        return static_cast<int>(std::count_if(received.begin() + static_cast<std::ptrdiff_t>(from), received.end(),
                                              [&](const auto& r) { return r.name == name; }));
    }
    // Every item the backup read holds the value it read: in the device, or
    // (`device` false) as the device held it before the first run.
    bool NvAsBefore(bool device = true)
    {
        const Bytes bytes = ReadFile(folder / backup);
        if (bytes.size() != workflow::NvTable::kSize) return false;
        const auto table = workflow::NvTable::Decode(std::span<const std::uint8_t, workflow::NvTable::kSize>(bytes));
        for (std::size_t i = 0; i < workflow::kNvListedItems; ++i) {
            const workflow::NvRecord& record = table[i];
            if (record.status == 0 && (device ? modem.nv().Value(record.item) : original.at(record.item)) != record.data) {
                return false;
            }
        }
        return true;
    }
    void ExpectFlashed() { ::ExpectFlashed(modem, images); }

    std::map<std::uint16_t, sim::NvData> original;
    std::string backup;
    std::optional<RunEnd> ended;
};

struct Cut {
    const char* name;
    std::vector<const char*> faults;
    DeviceMode left;  // the mode the cut run leaves the device in
};

class RescueFromDownloadModeTest : public RescueTest, public ::testing::WithParamInterface<Cut> {};

// The device's calibration comes back from the journal's backup, not from
// what the device holds now, and nothing is read from it to make another.
TEST_P(RescueFromDownloadModeTest, EndsInNormalModeWithEveryImageAndTheJournalsNvItems)
{
    CutShort(GetParam().faults);
    const workflow::RunJournal journal = Journals().front();
    EXPECT_EQ(journal.esn, 0x12345678u);
    modem.nv().ResetToFactory();
    ASSERT_FALSE(NvAsBefore());
    Found(GetParam().left);
    ASSERT_EQ(modem.Mode(), GetParam().left == DeviceMode::BootDownloader ? sim::SimMode::Downloader : sim::SimMode::Programmer);

    const std::size_t from = Received();
    const Bytes saved = ReadFile(folder / backup);
    Run();
    ASSERT_EQ(ended->code, FinishCode::Success) << report.LineText(0);
    EXPECT_EQ(modem.Mode(), sim::SimMode::Normal);
    ExpectFlashed();
    EXPECT_FALSE(std::filesystem::exists(folder / journal.backup));
    WriteFile(folder / backup, saved);
    EXPECT_TRUE(NvAsBefore());
    EXPECT_EQ(CountSince(from, "nvread"), 0);
    EXPECT_NE(Boxes().end()[-2].find("Press Yes to finish the upgrade"), std::string::npos) << Boxes().end()[-2];
    EXPECT_TRUE(Journals().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, RescueFromDownloadModeTest,
    ::testing::Values(
        // Power lost in the middle of the modem software.
        Cut{"BootDownloader", {"vanishafter:100000"}, DeviceMode::BootDownloader},
        // A programmer that takes no reset is left running.
        Cut{"FlashProgrammer", {"open=streamerror:1", "sreset=silent"}, DeviceMode::FlashProgrammer}),
    [](const auto& info) { return std::string(info.param.name); });

// The file system is rewritten, the restore failed: the device holds factory
// values, which no new backup may take for its own.
TEST_F(RescueTest, DeviceInNormalModeAfterTheFileSystemGetsTheJournalsBackupAndNoNewOne)
{
    CutShort({"nvwrite=silent"});
    EXPECT_EQ(Journals().front().phase, RunPhase::Restoring);
    ASSERT_FALSE(NvAsBefore());
    Found(DeviceMode::Normal);

    const std::size_t from = Received();
    const Bytes saved = ReadFile(folder / backup);
    Run();
    ASSERT_EQ(ended->code, FinishCode::Success) << report.LineText(0);
    WriteFile(folder / backup, saved);
    EXPECT_TRUE(NvAsBefore());
    EXPECT_EQ(CountSince(from, "nvread"), 0);
    EXPECT_EQ(CountSince(from, "open"), 0) << "nothing flashed again";
    EXPECT_TRUE(Journals().empty());
}

// The device that turns up is not the journal's: its flash is made whole,
// but the backup is never written to it, and both files stay.
TEST_F(RescueTest, JournalOfAnotherDeviceNeverHasItsBackupWritten)
{
    CutShort({"vanishafter:100000"});
    workflow::RunJournal journal = Journals().front();
    ASSERT_TRUE(workflow::RemoveJournal(folder.String(), journal.esn));
    journal.esn = 0xABCDEF01;
    ASSERT_TRUE(workflow::SaveJournal(folder.String(), journal));
    Found(DeviceMode::BootDownloader);

    const std::size_t from = Received();
    Run();
    EXPECT_EQ(ended->code, FinishCode::MayStayInDownloadMode);
    EXPECT_EQ(modem.Mode(), sim::SimMode::Normal);
    ExpectFlashed();
    EXPECT_EQ(CountSince(from, "nvwrite"), 0);
    EXPECT_NE(report.LineText(0).find("NV backup kept in " + (folder / journal.backup).string()), std::string::npos);
    ASSERT_EQ(Journals().size(), 1u);
    EXPECT_EQ(std::tie(Journals().front().esn, Journals().front().backup), std::tie(journal.esn, journal.backup));
}

}  // namespace
