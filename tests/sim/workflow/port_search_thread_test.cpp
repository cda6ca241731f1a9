// The port-search thread against the simulated modem on the virtual clock.
// Time passes only when the thread pauses, so the tests wait in real time
// for what the form is shown, stop the thread, and only then look at the
// device and the line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "gated_clock.h"
#include "recording_form.h"
#include "recording_reporter.h"
#include "sim_fixture.h"
#include "sim_port_finder.h"
#include "test_backends.h"
#include "test_files.h"
#include "workflow/nv_backup.h"
#include "workflow/port_discovery.h"
#include "workflow/run_journal.h"

namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;

std::string Lowered(std::string text)
{
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// Waits in real time until `done` holds; false when it never does.
bool Eventually(const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class PortSearchTest : public SimTest {
protected:
    explicit PortSearchTest(sim::ModemConfig config = {}) : SimTest(config) {}
    bool Shown(const std::string& call)
    {
        return Eventually([&] {
            const Names calls = form.Calls();
            return std::find(calls.begin(), calls.end(), call) != calls.end();
        });
    }

    SimPortFinder mirror{served};
    platform::MemoryRegistry empty;
    platform::RegistryPortFinder noPorts{empty};
    SwitchedFinder finder{mirror};
    platform::RecordingKeepAwake awake;
    platform::RecordingProcess process;
    platform::RecordingMessageBoxes boxes;
    platform::MemoryPayloadStore payloads;
    CVadodIVODAvuzUzovDoc doc{{clock, served, awake, process, finder, boxes, payloads}, "firmware"};
    RecordingReporter reporter;
    RecordingForm form{doc};
    // Last, so that its threads end before anything they use goes.
    PortSearch search{doc, reporter, form};
};

TEST_F(PortSearchTest, FindsTheDeviceOffersTheStartAndStopsWithinOnePause)
{
    search.Start(0);
    ASSERT_TRUE(Shown("0 port 12"));
    const std::uint32_t asked = clock.TickCount();
    search.Stop(0);
    const std::uint32_t stopped = clock.TickCount();
    EXPECT_LE(stopped - asked, 1000u);

    EXPECT_EQ(form.Calls(3), (Names{"0 on", "0 text M6280A-KCDRUN-1.0.0", "0 port 12"}));
    DownloadLine& line = doc.Line(0);
    EXPECT_EQ(line.state, LineState::PhoneFound);
    EXPECT_EQ(line.modemPort, 13);
    EXPECT_TRUE(line.protocol.port.IsOpen());
    EXPECT_TRUE(line.at.port.IsOpen());
    // Nothing reaches the device before the first two seconds are over.
    EXPECT_EQ(modem.Received().front().name, "esn");
    EXPECT_EQ(modem.Received().front().tick, 2000u);

    const std::size_t calls = form.Calls().size();

    // A new start searches from the beginning again.
    search.Start(0);
    ASSERT_TRUE(Eventually([&] { return form.Calls().size() >= calls + 3; }));
    search.Stop(0);
    const Names entries = reporter.Entries();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "Searching..."), 2);
}

TEST_F(PortSearchTest, DeviceThatStopsAnsweringShowsNoPhoneWithinOneCycle)
{
    // It answers the first check and nothing after; its ports stay.
    for (const char* fault : {"esn=late:2*1", "esn=silent", "versions=late:2*1", "versions=silent", "qcdmg=silent", "swversion=silent"}) {
        Fault(fault);
    }
    search.Start(0);
    ASSERT_TRUE(Shown("0 text No Phone"));
    search.Stop(0);

    EXPECT_EQ(form.Calls(6), (Names{"0 on", "0 text M6280A-KCDRUN-1.0.0", "0 port 12", "0 off", "0 text No Phone", "0 port 12"}));
    EXPECT_EQ(doc.Line(0).state, LineState::NoPhone);
}

TEST_F(PortSearchTest, FailedSearchLeavesMinusOneAndNoOffer)
{
    // Three searches a second apart find nothing: the form is told there
    // is no phone, and no request ever reaches the device.
    doc.Line(5).state = LineState::PhoneFound;
    finder.Use(noPorts);
    search.Start(5);
    ASSERT_TRUE(Shown("5 text No Phone"));
    search.Stop(5);

    EXPECT_EQ(form.Calls(2), (Names{"5 off", "5 text No Phone"}));
    EXPECT_EQ(form.Tick(0), 5000u);
    EXPECT_EQ(doc.Line(5).diagPort, -1);
    EXPECT_EQ(doc.Line(5).state, LineState::NoPhone);
    EXPECT_TRUE(modem.Received().empty());
}

// A device that answers nothing in its normal software is asked once, for
// as long as it stays on the bus, which download mode it is in; with no
// record of an earlier run it is then left alone. Its probe is the request
// of `probeSize` bytes (the DIAG ESN request has the greeting's code).
class PortSearchDownloadModeTest : public PortSearchTest,
                                   public ::testing::WithParamInterface<std::tuple<sim::SimMode, const char*, std::size_t>> {
protected:
    PortSearchDownloadModeTest() : PortSearchTest({.startMode = std::get<0>(GetParam())}) {}
};

TEST_P(PortSearchDownloadModeTest, IsToldOnceAndLeftAlone)
{
    const auto [mode, probe, probeSize] = GetParam();
    const std::string status = mode == sim::SimMode::Downloader ? "Boot downloader" : "Flash programmer";
    // A damaged journal counts as none.
    TempFolder folder{"journal"};
    ASSERT_TRUE(doc.Line(0).record.nvFolder.Set(folder.String()));
    WriteFile(folder / "RunJournal-12345678.txt", Bytes(60, 'x'));
    search.Start(0);
    ASSERT_TRUE(Shown("0 text " + status));
    // Two more cycles ask it nothing new.
    const std::uint32_t shown = clock.TickCount();
    ASSERT_TRUE(Eventually([&] { return clock.TickCount() > shown + 2500; }));
    search.Stop(0);

    const Names entries = reporter.Entries();
    const std::string told = "The device on COM12 answers in its " + Lowered(status) + " (download mode), not";
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [&](const std::string& e) { return e.starts_with(told); }), 1);
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [&](const std::string& e) {
                  return e.find("RunJournal-12345678.txt cannot be read whole and is not trusted: kept as ") != std::string::npos;
              }),
              1);
    EXPECT_FALSE(std::filesystem::exists(folder / "RunJournal-12345678.txt"));
    const auto& received = modem.Received();
    EXPECT_EQ(std::count_if(received.begin(), received.end(), [&](const auto& r) { return r.name == probe && r.payload.size() == probeSize; }), 1);
    // Beyond it, only the normal software's checks, unknown or damaged here.
    for (const auto& r : received) EXPECT_TRUE(r.name == probe || r.name == "unknown" || r.name == "damaged") << r.name;
    EXPECT_EQ(modem.Mode(), mode);
}

// With the journal of a run cut short it is offered, and asked nothing but
// whether it is still in its mode.
TEST_P(PortSearchDownloadModeTest, WithAJournalIsOfferedForItsRescue)
{
    const auto [mode, probe, probeSize] = GetParam();
    TempFolder folder{"journal"};
    ASSERT_TRUE(doc.Line(0).record.nvFolder.Set(folder.String()));
    const workflow::RunJournal journal{0x12345678, "backup.nvm", 12, 13, RunPhase::ModemSoftware};
    ASSERT_TRUE(workflow::SaveJournal(folder.String(), journal));
    WriteFile(folder / journal.backup, Bytes(workflow::NvTable::kSize));
    search.Start(0);
    ASSERT_TRUE(Shown("0 on"));
    const std::uint32_t shown = clock.TickCount();
    ASSERT_TRUE(Eventually([&] { return clock.TickCount() > shown + 2500; }));
    search.Stop(0);

    const Names calls = form.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "0 off"), 1) << "steady once offered";
    EXPECT_EQ(doc.Line(0).state, LineState::PhoneFound);
    EXPECT_EQ(doc.Line(0).mode, mode == sim::SimMode::Downloader ? DeviceMode::BootDownloader : DeviceMode::FlashProgrammer);
    const Names entries = reporter.Entries();
    EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](const std::string& e) {
                  return e.ends_with("the upgrade of the modem with ESN 12345678 was cut short at \"modem-software\". "
                                     "Press UPDATE to finish it and put its NV items back.");
              }),
              1);
    const auto& received = modem.Received();
    const auto isProbe = [&](const auto& r) { return r.name == probe && r.payload.size() == probeSize; };
    const auto asked = std::find_if(received.begin(), received.end(), isProbe);
    // One probe a cycle: the search's pause and its look take 1,020 ms.
    ASSERT_GE(received.end() - asked, 3);
    EXPECT_EQ((std::vector<std::uint32_t>{asked[1].tick - asked[0].tick, asked[2].tick - asked[0].tick}),
              (std::vector<std::uint32_t>{1020, 2040}));
    EXPECT_TRUE(std::all_of(asked, received.end(), isProbe));
    EXPECT_EQ(modem.Mode(), mode);
}

INSTANTIATE_TEST_SUITE_P(Modes, PortSearchDownloadModeTest,
                         ::testing::Values(std::tuple{sim::SimMode::Downloader, "nop", std::size_t{1}},
                                           std::tuple{sim::SimMode::Programmer, "hello", std::size_t{36}}));

TEST(PortSearchPauseTest, StopCutsAPauseShort)
{
    GatedClock gated;
    platform::MemorySerialPorts ports;
    OtherBackends others;
    CVadodIVODAvuzUzovDoc doc{others.With(gated, ports), "firmware"};
    RecordingReporter reporter;
    RecordingForm form{doc};
    PortSearch search{doc, reporter, form};
    search.Start(0);
    search.Start(1);
    gated.AwaitSleepers(2);
    // Both threads are in the first of the 2-second pause's 50-ms steps.
    std::atomic<bool> stopping{false};
    auto stopped = std::async(std::launch::async, [&] {
        stopping = true;
        search.StopAll();
        gated.Done();
    });
    while (!stopping) std::this_thread::yield();
    // Each thread ends at its first look at the stop after the request;
    // one that waits its pause out is let through it at once.
    while (stopped.wait_for(0s) != std::future_status::ready) {
        if (gated.TickCount() >= 2000) {
            ADD_FAILURE() << "a pause was waited out";
            gated.Done();
        }
        gated.PassOne();
    }
    EXPECT_TRUE(reporter.Entries().empty());
    EXPECT_TRUE(form.Calls().empty());
    EXPECT_EQ(doc.currentLine, 1);
}

}  // namespace
