// The form's refresh rules and texts, and its close handshake with the
// worker's thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <tuple>

#include "app/form_state.h"
#include "test_backends.h"

namespace {

using namespace std::chrono_literals;

class FormStateTest : public ::testing::Test {
protected:
    TestBackends own;
    CVadodIVODAvuzUzovDoc doc{own.backends, "firmware"};
    app::FormState form{doc};

    app::FormView DeviceText(const std::string& text, bool running, DeviceMode mode = DeviceMode::Normal,
                             LineState state = LineState::PhoneFound)
    {
        doc.Line(0).SetStatusText(text);
        doc.Line(0).mode = mode;
        doc.Line(0).state = state;
        doc.Line(0).running = running;
        form.RefreshDeviceText(0);
        return form.View();
    }
};

// A device in download mode is offered only once the port search found the
// journal that lets it be rescued.
TEST_F(FormStateTest, OnlyAVersionTextOfAnIdleLineOrARescuableDeviceOffersTheStart)
{
    constexpr const char* kReadyText = "Ready. Now press the \"UPDATE\" button to start the update.";
    const struct {
        const char* text;
        bool running;
        const char* status;
        bool start;
        DeviceMode mode = DeviceMode::Normal;
        LineState state = LineState::PhoneFound;
    } cases[] = {
        {"NULL", false, "Searching...", false},
        {"No Phone", false, "Searching...", false},
        {"M6280A-KCDRUN-1.0.0", false, kReadyText, true},
        {"M6280A-KCDRUN-1.0.0", true, "Downloading...", false},
        {"Boot downloader", false, "Searching...", false, DeviceMode::BootDownloader, LineState::NoPhone},
        {"Flash programmer", false, kReadyText, true, DeviceMode::FlashProgrammer},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        form.RefreshLineControls(0, true);
        const app::FormView view = DeviceText(c.text, c.running, c.mode, c.state);
        EXPECT_EQ(view.versionField, c.text);
        EXPECT_EQ(view.statusLine, c.status);
        EXPECT_EQ(view.startEnabled, c.start);
    }
}

TEST_F(FormStateTest, OnlyLineOneIsShown)
{
    const auto shown = [](const app::FormView& view) {
        return std::tie(view.versionField, view.portField, view.statusLine, view.ratio, view.startEnabled, view.transferImage);
    };
    const app::FormView before = form.View();
    doc.Line(1).SetStatusText("M6280A-KCDRUN-1.0.0");
    doc.Line(1).diagPort = 7;
    form.RefreshDeviceText(1);
    form.RefreshPortField(1);
    form.ShowLineText(1, "text of line 2\n");
    form.ShowProgress(1, 50);
    form.ShowTransfer(1, "efs.mbn", 1, 4);
    const app::FormView after = form.View();
    EXPECT_EQ(shown(after), shown(before));
}

TEST_F(FormStateTest, LineControlsOfLineOneFollowTheArgumentAndOfOtherLinesTheRunningFlags)
{
    form.RefreshLineControls(0, false);
    EXPECT_FALSE(form.View().startEnabled) << "line 1, false, nothing running";
    form.RefreshLineControls(1, false);
    EXPECT_TRUE(form.View().startEnabled) << "line 2 with no line running";

    doc.Line(3).running = true;
    form.RefreshLineControls(1, true);
    EXPECT_FALSE(form.View().startEnabled) << "line 2 while line 4 runs";
    form.RefreshLineControls(0, true);
    EXPECT_TRUE(form.View().startEnabled) << "line 1, true, line 4 running";
}

TEST_F(FormStateTest, PortFieldShowsTheDiagnosticPortOrNullAndProgressIsCappedAtOneHundred)
{
    EXPECT_EQ(form.View().portField, "Searching...");
    for (const auto& [port, field] : {std::pair{12, "COM12"}, std::pair{0, "NULL"}}) {
        doc.Line(0).diagPort = port;
        form.RefreshPortField(0);
        EXPECT_EQ(form.View().portField, field);
    }
    for (const auto& [percent, ratio, bar] : {std::tuple{150, "100/100", 100}, std::tuple{0, "0/100", 0}}) {
        form.ShowProgress(0, percent);
        EXPECT_EQ(form.View().ratio, ratio);
        EXPECT_EQ(form.View().progress, bar);
    }
}

TEST_F(FormStateTest, TheImageBeingWrittenShowsUntilItIsDoneOrTheRunEnds)
{
    form.ShowTransfer(0, "amss.mbn", 128, 1000);
    app::FormView view = form.View();
    EXPECT_EQ(view.transferImage, "amss.mbn");
    EXPECT_EQ(view.transferDone, 128u);
    EXPECT_EQ(view.transferTotal, 1000u);
    form.ShowTransfer(0, "amss.mbn", 1000, 1000);
    EXPECT_TRUE(form.View().transferImage.empty());
    form.ShowTransfer(0, "efs.mbn", 10, 1000);
    form.ShowProgress(0, 0);
    view = form.View();
    EXPECT_TRUE(view.transferImage.empty());
    EXPECT_EQ(view.transferTotal, 0u);
}

TEST_F(FormStateTest, ChangesWakeAWaiterAndAQuietFormLetsItGo)
{
    const std::uint64_t seen = form.View().revision;
    EXPECT_EQ(form.WaitForChange(seen, 20ms).revision, seen);
    auto woken = std::async(std::launch::async, [&] { return form.WaitForChange(seen, 10s); });
    form.ShowProgress(0, 5);
    const app::FormView view = woken.get();
    EXPECT_NE(view.revision, seen);
    EXPECT_EQ(view.ratio, "5/100");
}

TEST_F(FormStateTest, RequestCloseReturnsOnceTheFrontEndHandledIt)
{
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        form.RequestClose();
        returned = true;
    });
    while (!form.TakeCloseRequest()) std::this_thread::yield();
    EXPECT_FALSE(form.TakeCloseRequest()) << "one request is taken once";
    EXPECT_FALSE(returned) << "returned before the request was handled";
    form.CloseHandled();
    worker.join();
    EXPECT_TRUE(returned);
}

TEST_F(FormStateTest, RequestCloseDoesNotWaitOnAFormThatIsClosing)
{
    // The front end waits for the worker once it closes; a close request
    // the worker sends then must not wait for the front end in turn.
    std::thread waiting([&] { form.RequestClose(); });
    while (!form.TakeCloseRequest()) std::this_thread::yield();
    form.MarkClosing();
    waiting.join();
    form.RequestClose();
    form.PostClose();
    EXPECT_TRUE(form.TakeCloseRequest());
}

}  // namespace
