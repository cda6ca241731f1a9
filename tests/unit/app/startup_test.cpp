// Start-up and quit of the application: the single instance, the working
// folder, the form's first state, the re-plug thread's seam and the quit
// confirmation.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "app/startup.h"
#include "platform/backends.h"
#include "platform/memory_wire.h"
#include "platform/message_box.h"
#include "platform/payload_store.h"
#include "platform/registry.h"
#include "gated_clock.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;

class RecordingReplug final : public app::IReplugThread {
public:
    void Start(const platform::Backends&, const std::string& folder) override { calls.push_back("start in " + folder); }
    void StopThread() override { calls.push_back("stop"); }
    void UnloadLibrary() override { calls.push_back("unload"); }
    std::vector<std::string> calls;
};

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A private folder, no device and no registry entries, a small payload
// store, and virtual time in which the port search stays in its first pause
// until the test lets it go on.
class StartupTest : public ::testing::Test {
protected:
    StartupTest()
    {
#ifndef _WIN32
        ::setenv("UPGRADER_STATE_DIR", (root / "state").string().c_str(), 1);
#endif
        store.Add(164, {'a', 'm', 's', 's'});
        store.Add(169, {'p', 't'});
    }
    ~StartupTest() override
    {
#ifndef _WIN32
        ::unsetenv("UPGRADER_STATE_DIR");
#endif
    }

    TempFolder root{"startup"};
    fs::path folder = root / "firmware";
    // A mark of this test's own, so that a copy of the program running
    // beside the tests is left alone.
    std::string instance = "upgrader-test-" + root.path.filename().string();
    GatedClock clock;
    platform::MemorySerialPorts ports;
    platform::MemoryRegistry registry;
    platform::RegistryPortFinder finder{registry};
    platform::RecordingMessageBoxes boxes;
    platform::MemoryPayloadStore store;
    platform::RecordingKeepAwake awake;
    platform::RecordingProcess process;
    CVadodIVODAvuzUzovDoc doc{{clock, ports, awake, process, finder, boxes, store}, folder.string()};
    app::FormState form{doc};
    RecordingReplug replug;
};

TEST_F(StartupTest, StartsWithTheFilesInPlaceAndTheFormSearchingAndQuitRemovesThem)
{
    {
        app::Application application(doc, form, &replug, instance);
        ASSERT_EQ(application.Start(), app::StartUp::Running);
        EXPECT_TRUE(boxes.Texts().empty());

        EXPECT_EQ(ReadAll(folder / "amss.mbn"), "amss");
        EXPECT_EQ(doc.Line(0).record.imageFolder.Get(), folder.string());

        const app::FormView view = form.View();
        EXPECT_EQ(std::tie(view.startEnabled, view.statusLine, view.portField, view.versionField, view.ratio),
                  std::make_tuple(false, "Searching...", "COM1", "No Phone", "0/100"));
        EXPECT_EQ(replug.calls, std::vector<std::string>{"start in " + folder.string()});

        clock.Done();
        application.Quit();
    }
    EXPECT_FALSE(fs::exists(folder / "amss.mbn"));
    EXPECT_TRUE(fs::is_directory(folder));
    // Stopped for good before the library is unloaded.
    EXPECT_EQ(replug.calls, (std::vector<std::string>{"start in " + folder.string(), "stop", "stop", "unload"}));
}

TEST_F(StartupTest, ABackupLeftByAnEarlierRunIsSetAsideNamedAndOutlivesTheQuit)
{
    fs::create_directories(folder);
    std::ofstream(folder / "Channel1.nvm") << "calibration of a run that was killed";
    {
        app::Application application(doc, form, nullptr, instance);
        ASSERT_EQ(application.Start(), app::StartUp::Running);
        EXPECT_FALSE(fs::exists(folder / "Channel1.nvm"));
        const std::string log = form.View().runLog;
        const auto named = log.find("NV backup of an earlier run kept in ");
        ASSERT_NE(named, std::string::npos) << log;
        const std::string kept = log.substr(named + 36, log.find('\n', named) - named - 36);
        EXPECT_EQ(fs::path(kept).parent_path(), folder);
        EXPECT_EQ(fs::path(kept).filename().string().rfind("Channel1-previous-", 0), 0u) << kept;
        clock.Done();
        application.Quit();
        EXPECT_EQ(ReadAll(kept), "calibration of a run that was killed");
    }
}

#ifndef _WIN32
TEST_F(StartupTest, FirmwareCutShortByAFullDiskOffersNoRunAndLeavesTheDeviceAlone)
{
    store.Add(166, std::vector<std::uint8_t>(256 * 1024, 0x5A));
    app::Application application(doc, form, &replug, instance);
    std::optional<FileSizeLimit> fullDisk(std::in_place, 64 * 1024);
    const app::StartUp started = application.Start();
    fullDisk.reset();

    ASSERT_EQ(started, app::StartUp::Running);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"read efs.mbn fail!"});
    EXPECT_FALSE(fs::exists(folder / "efs.mbn")) << "a cut-off file is not left to look whole";
    EXPECT_NE(form.View().statusLine.find("The firmware could not be extracted whole into " + folder.string()),
              std::string::npos);
    // No port search and no re-plug thread: nothing reaches for the device,
    // so the start is never offered.
    EXPECT_TRUE(replug.calls.empty());
    EXPECT_FALSE(form.View().startEnabled);
    EXPECT_EQ(form.View().portField, "COM1");
    application.Quit();
}
#endif

TEST_F(StartupTest, ASecondCopyStopsBeforeTouchingTheWorkingFolderUntilTheFirstHasGone)
{
    {
        platform::SingleInstance first(instance);
        ASSERT_TRUE(first.Claimed());
        app::Application application(doc, form, &replug, instance);
        EXPECT_EQ(application.Start(), app::StartUp::AlreadyRunning);
        EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"UI is running, please close it and re-run this program!"});
        EXPECT_FALSE(fs::exists(folder));
        EXPECT_TRUE(replug.calls.empty());
    }
    EXPECT_TRUE(platform::SingleInstance(instance).Claimed());
}

TEST_F(StartupTest, AWorkingFolderThatCannotBeMadeOrNamedEndsStartUp)
{
    std::ofstream(root / "plain-file") << "in the way";
    // The second folder's paths would overflow line 1's path fields.
    const fs::path tooLong = root / std::string(120, 'a') / std::string(120, 'b');
    for (const fs::path& bad : {root / "plain-file" / "firmware", tooLong}) {
        SCOPED_TRACE(bad.string());
        platform::RecordingMessageBoxes shown;
        CVadodIVODAvuzUzovDoc badDoc{{clock, ports, awake, process, finder, shown, store}, bad.string()};
        app::FormState badForm{badDoc};
        app::Application application(badDoc, badForm, &replug, instance);
        EXPECT_EQ(application.Start(), app::StartUp::PathError);
        EXPECT_EQ(shown.Texts(), std::vector<std::string>{"source file path error!"});
        EXPECT_FALSE(fs::exists(bad / "amss.mbn"));
        EXPECT_TRUE(replug.calls.empty());
    }
}

TEST_F(StartupTest, QuittingAsksOnlyWhileALineRunsAndNoKeepsTheProgramOpen)
{
    app::Application application(doc, form, nullptr, instance);
    EXPECT_TRUE(application.ConfirmQuit());
    EXPECT_TRUE(boxes.Boxes().empty());

    doc.Line(2).running = true;
    boxes.Answer(platform::BoxAnswer::No);
    EXPECT_FALSE(application.ConfirmQuit());
    boxes.Answer(platform::BoxAnswer::Yes);
    EXPECT_TRUE(application.ConfirmQuit());
    doc.Line(2).running = false;

    const auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text,
              "Upgrade is running, stopping the application will damage the data card. Are you sure to quit?");
    EXPECT_EQ(shown[0].title, "Warning");
    EXPECT_EQ(shown[0].buttons, platform::BoxButtons::YesNo);
    EXPECT_EQ(shown[0].icon, platform::BoxIcon::Stop);
}

// Another program's request for the uninstaller frees the diagnostic port
// only while no worker owns it, and the port search goes on afterwards.
TEST_F(StartupTest, ReleasingThePortForTheUninstallerLeavesARunningLineAlone)
{
    ports.Add(1, std::make_shared<platform::MemoryWire>(clock));
    app::Application application(doc, form, nullptr, instance);
    ASSERT_EQ(application.Start(), app::StartUp::Running);
    CSerialPort& port = doc.Line(0).protocol.port;
    ASSERT_TRUE(port.Open(1, 115200, 8, 1));

    doc.Line(0).running = true;
    EXPECT_FALSE(application.ReleaseCurrentPort());
    EXPECT_TRUE(port.IsOpen());
    doc.Line(0).running = false;

    clock.Done();
    EXPECT_TRUE(application.ReleaseCurrentPort());
    EXPECT_FALSE(port.IsOpen());
    application.ResumeAfterRelease();
    EXPECT_EQ(doc.currentLine, 0);
    application.Quit();
}

// How the run ended is kept for the exit status, which the e2e tier checks
// for every way a run ends.
TEST_F(StartupTest, EndingTheProcessFromTheWorkflowClosesTheForm)
{
    app::Application application(doc, form, nullptr, instance);
    application.Exit(0);
    EXPECT_TRUE(application.ExitRequested());
    EXPECT_TRUE(form.TakeCloseRequest());
}

}  // namespace
