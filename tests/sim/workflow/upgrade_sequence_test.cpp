// The whole upgrade of one line against the simulated modem on the virtual
// clock: the success path and every way it can end.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <utility>

#include "upgrade_fixture.h"
#include "workflow/nv_backup.h"
#include "workflow/upgrade_worker.h"

namespace {

std::vector<std::string> Lines(const std::string& log)
{
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Whether the log's last two entries are `text`, each behind its time stamp.
bool EndsTwiceWith(const std::string& log, const std::string& text)
{
    const auto lines = Lines(log);
    const std::string entry = "\xA1\xAA\xA1\xAA" + text;
    return lines.size() >= 2 && lines.back().ends_with(entry) && lines[lines.size() - 2].ends_with(entry) && log.back() == '\n';
}

// What reaches the device is held byte for byte by the wire record; here is
// what the user and the run log are shown, and what the run leaves behind.
TEST_F(UpgradeTest, SuccessReportsTheTimeAndLeavesNothingBehind)
{
    Run();

    // Progress rises through the phases in order and falls to 0 at the end.
    std::vector<int> progress = form.Progress();
    progress.erase(std::unique(progress.begin(), progress.end()), progress.end());
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), 0);
    const std::vector<int> run(progress.begin() + 1, progress.end() - 1);
    EXPECT_TRUE(std::is_sorted(run.begin(), run.end()));
    EXPECT_EQ(run.back(), 100);

    // The text carries the elapsed virtual time, from progress 0 to 100.
    const auto ticks = form.ProgressTicks();
    const auto values = form.Progress();
    const auto at100 = std::find(values.begin(), values.end(), 100) - values.begin();
    // The start button's own 100 ms pause may fall on either side of the
    // worker's first tick.
    const std::uint32_t elapsed = ticks[static_cast<std::size_t>(at100)] - ticks[1];
    ASSERT_EQ(Boxes().size(), 1u);
    const std::string text = Boxes().front();
    EXPECT_TRUE(text == SuccessText(elapsed / 1000) || text == SuccessText((elapsed + 100) / 1000)) << text;
    EXPECT_EQ(SuccessText(125), "Update success!  It costs 2 minute(s) and 5 second(s).");
    EXPECT_EQ(SuccessText(59), "Update success!  It costs 0 minute(s) and 59 second(s).");
    EXPECT_EQ(boxes.Boxes().back().title, "Congratulations");
    const std::string log = report.LineText(0);
    EXPECT_TRUE(EndsTwiceWith(log, text)) << "the final text stands twice at the end, each stamped";
    EXPECT_EQ(log.find("Current Version : "), 0u);
    EXPECT_EQ(form.closeRequests, 1);
    EXPECT_FALSE(Line().running);
    EXPECT_FALSE(process.Exited());

    EXPECT_EQ(threads.portSearchStops, 1);
    EXPECT_EQ(threads.replugStops, 1);
    // Every image written reported its transfer up to its whole size.
    const auto transfers = form.Transfers();
    for (const char* image : {"armprg.bin", "qcsbl.mbn", "oemsbl.mbn", "amss.mbn", "efs.mbn", "nandprgcombined.mbn"}) {
        ASSERT_EQ(transfers.count(image), 1u) << image;
        EXPECT_EQ(transfers.at(image), std::make_pair(std::uint64_t{images[image].size()}, std::uint64_t{images[image].size()}))
            << image;
    }
    EXPECT_EQ(awake.holds, 1);
    EXPECT_EQ(awake.releases, 1);
    EXPECT_FALSE(std::filesystem::exists(folder / "Channel1.nvm"));
    EXPECT_FALSE(std::filesystem::exists(folder / "amss.mbn"));
}

constexpr const char* kDownloadFailure = "Download failure, Please download again!";
constexpr const char* kFlashFailure = "Download fail, please check the log file to get fail information!";
constexpr const char* kAnotherDevice =
    "The modem that came back is not the one that was upgraded: its NV items were not written to it. Keep the NV "
    "backup named in the log for the upgraded modem.";
constexpr const char* kNoProgrammer =
    "the flash programmer did not answer: the boot downloader answered: the flash programmer is not running";
constexpr const char* kPrompt =
    "Please pull out the stick, insert it again and then press the 'OK' button.The upgrade process will go on.";

// One way the run ends early: the faults that lead there and what the end
// leaves behind.
struct Ending {
    const char* name;
    std::vector<std::string> faults;
    // Why the run stopped, as the log tells it once before the final text.
    const char* reason;
    const char* log;
    const char* box;
    FinishCode code;
    bool partlyWritten;
    bool prompted;
    bool backupKept;
    // The reset the line's end sends in the mode the device was left in.
    const char* reset = nullptr;
    bool exits = false;
    // A request and how often the run sent it.
    const char* counted = nullptr;
    int count = 0;
};
void PrintTo(const Ending& e, std::ostream* out) { *out << e.name; }

class UpgradeFailureTest : public UpgradeTest {
protected:
    UpgradeFailureTest() { control.OnFinish([this](int, RunEnd end) { ended = end; }); }
    explicit UpgradeFailureTest(sim::ModemConfig config) : UpgradeTest(config)
    {
        control.OnFinish([this](int, RunEnd end) { ended = end; });
    }
    void ExpectEnding(const Ending& e)
    {
        const std::string log = report.LineText(0);
        EXPECT_TRUE(EndsTwiceWith(log, e.log)) << log;
        const auto lines = Lines(log);
        ASSERT_GE(lines.size(), 3u);
        const auto isReason = [](const std::string& line) { return line.find("\xA1\xAA\xA1\xAAReason: ") != std::string::npos; };
        EXPECT_TRUE(isReason(lines[lines.size() - 3])) << log;
        EXPECT_NE(lines[lines.size() - 3].find(e.reason), std::string::npos) << log;
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), isReason), 1) << log;
        const auto texts = Boxes();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), e.box);
        EXPECT_EQ(boxes.Boxes().back().title, "Error");
        EXPECT_EQ(texts.front() == kPrompt, e.prompted);
        EXPECT_EQ(form.closeRequests, 1);
        EXPECT_FALSE(Line().running);
        EXPECT_EQ(form.Progress().back(), 0);
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->code, e.code);
        if (e.code == FinishCode::DownloadFailure) {
            EXPECT_EQ(Line().state, LineState::NoPhone);
        }
        EXPECT_EQ(ended->partlyWritten, e.partlyWritten);
        EXPECT_EQ(log.find("The flash was left partly written: the device may not work until this tool has upgraded it again.") !=
                      std::string::npos,
                  e.partlyWritten);
        EXPECT_EQ(process.Exited(), e.exits);
        if (e.exits) {
            EXPECT_EQ(process.Code(), 0);
        }
        if (e.reset) {
            const auto names = modem.RequestNames();
            ASSERT_FALSE(names.empty());
            EXPECT_EQ(names.back(), e.reset);
            // Reset, not left in download mode: the device comes back normal,
            // or in its boot downloader when the run left its boot loaders or
            // its modem software partly written.
            const auto& flash = modem.Images();
            const std::uint8_t bootChain[] = {2, 3, 4, 5};
            const bool bootChainWhole = std::all_of(std::begin(bootChain), std::end(bootChain), [&](std::uint8_t type) {
                const auto image = flash.find(type);
                return image != flash.end() && image->second.closed && !image->second.superseded;
            });
            EXPECT_FALSE(modem.Present());
            modem.Advance(modem.NextEventTick());
            EXPECT_TRUE(modem.Present());
            EXPECT_EQ(modem.Mode(), e.partlyWritten && !bootChainWhole ? sim::SimMode::Downloader : sim::SimMode::Normal);
        }
        if (e.counted) {
            EXPECT_EQ(Count(e.counted), e.count) << e.counted;
        }
        const auto kept = log.find("NV backup kept in ");
        ASSERT_EQ(kept != std::string::npos, e.backupKept) << log;
        if (e.backupKept) {
            const std::string path = log.substr(kept + 18, log.find('\n', kept) - kept - 18);
            ASSERT_TRUE(std::filesystem::exists(path)) << path;
            EXPECT_EQ(std::filesystem::file_size(path), 133280u);
            EXPECT_NE(path.find("12345678"), std::string::npos) << "named after the device's ESN";
        }
    }

    std::optional<RunEnd> ended;
};

class UpgradeEndingTest : public UpgradeFailureTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(UpgradeEndingTest, EndsWithItsTextBoxAndCodeAndKeepsTheBackup)
{
    for (const std::string& fault : GetParam().faults) Fault(fault);
    Run();
    ExpectEnding(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UpgradeEndingTest,
    ::testing::Values(
        Ending{"PortsNotFoundAfterTheFirstRestart", {"lost"},
               "the device's ports were not found in 60 searches after its restart",
               "Can not find port, Please download again!", "Can not find port, Please download again!",
               FinishCode::DownloadFailure, false, true, false},
        Ending{"SecondSwitchFailureEndsTheProcess", {"5c=silent"},
               "the download request (5C) was not answered: Port Cannot Receive Desired Data from the Phone",
               "Switch to download failure, please download again!", kDownloadFailure,
               FinishCode::MayStayInDownloadMode, false, true, true, nullptr, true},
        Ending{"RamProgrammerThatCannotBeLoaded", {"dmsswrite=nak:7"},
               "Write a Block of Data to Memory Failed, Since operation did not succeed",
               "Download armprg.bin fail!", kDownloadFailure, FinishCode::DownloadFailure, false, false, true, "dmssreset"},
        // Three greetings of three requests each.
        Ending{"ProgrammerThatDoesNotStart", {"hello=silent"},
               "the flash programmer did not answer: Port Cannot Receive Desired Data from the Phone",
               "Go to flash fail!", kDownloadFailure, FinishCode::DownloadFailure, false, false, true, nullptr, false, "hello", 9},
        // The downloader refuses whatever was meant for the programmer, and
        // takes its own reset; one that takes none is left to the user.
        Ending{"ProgrammerThatNeverStarts", {"go=silent"}, kNoProgrammer, "Go to flash fail!", kDownloadFailure,
               FinishCode::DownloadFailure, false, false, true, "dmssreset", false, "swrite", 0},
        Ending{"ProgrammerThatNeverStartsAndNoResetTaken", {"go=silent", "dmssreset=silent"}, kNoProgrammer,
               "Go to flash fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode, false, false, true},
        // A failure while the flash programmer runs ends with its own reset.
        Ending{"PartitionTableRefused", {"partition=silent"},
               "the partition table was not taken: Cannot download partition, Since Port Cannot Receive Desired Data from the Phone",
               kFlashFailure, kDownloadFailure, FinishCode::DownloadFailure, true, false, true, "sreset"},
        Ending{"BlockRejected", {"blockreject:1000"},
               "amss.mbn was not written: the programmer rejected block 0 twice",
               kFlashFailure, kDownloadFailure, FinishCode::DownloadFailure, true, false, true, "sreset"},
        Ending{"WrongSegmentChecksum", {"neverready", "wrongsegmentcrc"},
               "amss.mbn was not written: CRC check failed,Send CRC is CRC1=255 CRC2=254;The Phone return is CRC1=0 CRC2=255",
               kFlashFailure, kDownloadFailure, FinishCode::DownloadFailure, true, false, true, "sreset"},
        Ending{"ImageThatCannotBeOpened", {"open=silent"},
               "Enter Secondbootloaderheader mode fail!: Cannot open multi-image, Since Port Cannot Receive Desired Data from the Phone",
               kFlashFailure, kDownloadFailure, FinishCode::DownloadFailure, true, false, true, "sreset"},
        Ending{"DeviceThatDoesNotReturn", {"neverreturn"},
               "the device's ports were not found in 80 searches after the reset into the new software",
               "reset modem fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode, false, true, true},
        // Nobody re-plugs the stick at the prompt.
        Ending{"ProgrammerThatTakesNoReset", {"sreset=silent"},
               "the flash programmer took no reset and the device did not answer in its normal software in 60 tries",
               "reset modem fail!", kDownloadFailure, FinishCode::MayStayInDownloadMode, false, true, true},
        // Every image was written: the flash is whole, the NV items are not.
        Ending{"FailedRestore", {"nvwrite=silent"},
               "NV item 1801 could not be written back: Cannot write #1801 NVItem, Since Port Cannot Receive Desired Data from the Phone",
               "Restore NV fail!", "Restore NV fail!", FinishCode::MayStayInDownloadMode, false, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// An image file changed after the check while the flash is under way (once
// the second block of the modem software is taken): an image not yet sent
// is never opened on the device, one being sent stops before the first
// piece that changed, and no later attempt writes the flash again.
struct Change {
    const char* name;
    const char* file;
    bool cut;
    std::uint8_t type;
    std::size_t received;  // 0: the image was never opened
    const char* reason;
};
void PrintTo(const Change& c, std::ostream* out) { *out << c.name; }

class ChangedImageTest : public UpgradeFailureTest, public ::testing::WithParamInterface<Change> {};

TEST_P(ChangedImageTest, FailsTheRunBeforeTheChangedBytesReachTheDevice)
{
    const Change& c = GetParam();
    bool changed = false;
    form.onProgress = [&](int percent) {
        if (percent != 34 || std::exchange(changed, true)) return;
        Bytes bytes = images[c.file];
        bytes.back() ^= 0xFF;
        if (c.cut) bytes.resize(100);
        WriteFile(folder / c.file, bytes);
    };
    Run();
    ExpectEnding({"", {}, c.reason, kFlashFailure, kDownloadFailure, FinishCode::DownloadFailure, true, false, true,
                  "sreset", false, "partition", 1});
    if (c.received == 0) {
        EXPECT_EQ(modem.Images().count(c.type), 0u);
    } else {
        EXPECT_EQ(modem.Images().at(c.type).data.size(), c.received);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ChangedImageTest,
    ::testing::Values(
        Change{"FileSystemImageFlipped", "efs.mbn", false, 9, 0,
               "efs.mbn changed after it was checked: its bytes from offset 131072 differ"},
        Change{"FileSystemImageCut", "efs.mbn", true, 9, 0,
               "efs.mbn changed after it was checked: it holds 100 bytes, not 131079"},
        Change{"ModemSoftwareFlippedInItsLastBlock", "amss.mbn", false, 5, 0x40000,
               "amss.mbn changed after it was checked: its bytes from offset 262144 differ"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpgradeFailureTest, BackupWithItemsTheDeviceNeverAnsweredStopsBeforeTheSwitch)
{
    // A tenth of the listed items get no reply at all.
    const auto& list = workflow::NvItemList();
    for (std::size_t i = 0; i < workflow::kNvListedItems; i += 10) Fault("nvnoreply:" + std::to_string(list[i]));

    Run();
    // Nothing was written: the device gets its normal settings back and the
    // end's reset starts it in its normal software.
    ExpectEnding({"", {}, "NV items got no valid reply from the device; the first is item",
                  "Backup NV fail, Please download again!", "Backup NV fail, Please download again!",
                  FinishCode::DownloadFailure, false, false, true, "mode"});
    EXPECT_EQ(Count("downloader"), 0);
    EXPECT_EQ(modem.VendorFlag(), 0);
    EXPECT_EQ(modem.Autorun(), 1);
    const auto& at = modem.AtCommands();
    EXPECT_EQ(std::vector<std::string>(at.end() - 2, at.end()), (std::vector<std::string>{"AT+KCDRUN=F", "AT+KCDRUN=9"}));
}

TEST_F(UpgradeFailureTest, AnotherModemThatComesBackGetsNoneOfTheSavedItems)
{
    Fault("swapped");
    Run();
    ExpectEnding({"", {}, "the device that came back has the ESN EDCBA987, the NV backup was read from ESN 12345678",
                  kAnotherDevice, kAnotherDevice, FinishCode::MayStayInDownloadMode, false, false, true});
    // Its items are its own; only the upgraded device's backup holds the
    // first one's.
    const auto names = modem.RequestNames();
    const auto returned = std::find(names.rbegin(), names.rend(), "sreset");
    EXPECT_EQ(std::count(names.rbegin(), returned, "nvwrite"), 0);
    EXPECT_EQ(Line().esn, 0x12345678u);
}

// A user who pulls the stick out at the re-plug prompt and puts it back in
// unless `forGood`.
std::function<void(const std::string&)> PullingOut(sim::InProcessModem& served, bool forGood)
{
    return [&served, forGood](const std::string& text) {
        if (text == kPrompt) served.PullOut(forGood);
    };
}

TEST_F(UpgradeFailureTest, PortsNotFoundAfterAFailedSwitch)
{
    // The first switch fails; the user pulls the stick at the prompt and it
    // never comes back.
    Fault("downloader=silent");
    Fault("nop=silent");
    shownBoxes.onBox = PullingOut(served, true);
    Run();
    ExpectEnding({"", {},
                  "the device's ports were not found in 40 searches after the switch to download mode failed (the boot "
                  "downloader's no-op was not answered: Cannot Do No Operation, Since",
                  "Search port failure, please download again!", "Search port failure, please download again!",
                  FinishCode::MayStayInDownloadMode, false, true, true});
}

TEST_F(UpgradeFailureTest, AProgrammerThatTakesNoResetIsLeftToTheUsersReplugAndTheRunGoesOn)
{
    const std::uint16_t item = workflow::NvItemList()[0];
    const sim::NvData before = modem.nv().Value(item);
    Fault("sreset=silent");
    shownBoxes.onBox = PullingOut(served, false);
    Run();
    ASSERT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(Boxes()[0], kPrompt);
    EXPECT_EQ(Boxes()[1].rfind("Update success!", 0), 0u);
    // Three resets of three attempts each before the prompt.
    EXPECT_EQ(Count("sreset"), 9);
    EXPECT_NE(report.LineText(0).find("The flash programmer did not take its reset (Port Cannot Receive Desired Data from "
                                      "the Phone): the stick must be pulled out and inserted again."),
              std::string::npos);
    EXPECT_EQ(modem.nv().Value(item), before);
}

TEST_F(UpgradeFailureTest, EachLaterFlashAttemptStartsWithACloseAndANop)
{
    Fault("partition=silent");
    Run();
    // Not with a new programmer.
    std::vector<std::string> flow;
    for (const auto& name : modem.RequestNames()) {
        if (name == "close" || name == "snop" || name == "swrite" || name == "partition" || name == "go") flow.push_back(name);
    }
    const std::vector<std::string> attempt{"swrite", "partition", "partition", "partition"};
    std::vector<std::string> wanted{"go", "snop"};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) wanted.insert(wanted.end(), {"close", "snop"});
        wanted.insert(wanted.end(), attempt.begin(), attempt.end());
    }
    EXPECT_EQ(flow, wanted);
}

TEST_F(UpgradeFailureTest, AnEarlierBackupIsMovedAsideAndARunGoesOnWhereTheComputerCannotBeKeptAwake)
{
    awake.refuse = true;
    const Bytes earlier = Pattern(100, 77);
    WriteFile(folder / "Channel1.nvm", earlier);
    Fault("lost");
    Run();
    EXPECT_NE(report.LineText(0).find("The computer is not kept from sleeping during the upgrade (refused by the test): "
                                      "do not let it sleep until the run has ended."),
              std::string::npos);
    EXPECT_EQ(awake.releases, 1);
    EXPECT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(boxes.Boxes()[0].title, "warning");
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path)) {
        if (entry.path().filename().string().rfind("Channel1-previous-", 0) != 0) continue;
        EXPECT_EQ(ReadFile(entry.path()), earlier);
        ++found;
    }
    EXPECT_EQ(found, 1);
}

// The device's ports, but hidden from the first `hidden` port searches.
class HidingFinder final : public platform::IPortFinder {
public:
    HidingFinder(platform::IPortFinder& real, int hidden) : m_real(real), m_hidden(hidden) {}
    platform::ModemPorts FindModemPorts() override { return ++searches <= m_hidden ? platform::ModemPorts{} : m_real.FindModemPorts(); }
    std::atomic<int> searches{0};

private:
    platform::IPortFinder& m_real;
    int m_hidden;
};

class PortSearchLimitTest : public UpgradeFailureTest, public ::testing::WithParamInterface<int> {};

TEST_P(PortSearchLimitTest, PromptAfterThe30thFailedSearchAndAbortAfterThe60th)
{
    const int hidden = GetParam();
    HidingFinder hiding(finder, hidden);
    lineFinder.Use(hiding);
    // A device found in the end stops the run soon after, at its backup.
    Fault("nvread=silent");
    Run();
    const auto texts = Boxes();
    const bool prompted = !texts.empty() && texts.front().rfind("Please pull out", 0) == 0;
    EXPECT_EQ(prompted, hidden >= 30) << hidden << " searches failed";
    ASSERT_FALSE(texts.empty());
    const bool aborted = texts.back() == "Can not find port, Please download again!";
    EXPECT_EQ(aborted, hidden >= 60) << hidden << " searches failed";
    EXPECT_EQ(hiding.searches, std::min(hidden + 1, 60));
}

// A device whose every reply comes just inside the DIAG time-out: found,
// backed up, flashed and restored like any other. One slower than that is
// never found, so it is never flashed.
class SlowDeviceTest : public UpgradeFailureTest {
protected:
    SlowDeviceTest() : UpgradeFailureTest({.renumberStep = 2, .replyDelayMs = 295}) {}
};

TEST_F(SlowDeviceTest, IsRestoredLikeAnyOther)
{
    const std::uint16_t item = workflow::NvItemList()[0];
    const sim::NvData before = modem.nv().Value(item);
    // Busy setting up its new file system, it answers no NV write for its
    // first seconds back.
    Fault("nvwrite=silent*30");
    Run();
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes().back().rfind("Update success!", 0), 0u) << Boxes().back();
    EXPECT_EQ(modem.nv().Value(item), before);
}

INSTANTIATE_TEST_SUITE_P(SearchesFailed, PortSearchLimitTest, ::testing::Values(29, 30, 59, 60));

}  // namespace
