// The re-plug thread: its pauses, its two failures, and a stop that never
// leaves it inside the library nor waits for the user.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <vector>

#include "app/replug_thread.h"
#include "flashing/paths.h"
#include "platform/backends.h"
#include "platform/message_box.h"
#include "test_backends.h"

namespace {

class FakeLibrary final : public app::IReplugLibrary {
public:
    FakeLibrary(platform::IClock& clock, bool loads, bool hasEntry)
        : m_clock(clock), m_loads(loads), m_hasEntry(hasEntry)
    {
    }

    bool Load(const std::string& path) override
    {
        std::lock_guard lock(m_mutex);
        loadedFrom = path;
        loaded = m_loads;
        return m_loads;
    }
    bool FindEntry() override { return m_hasEntry; }
    int Call(const char* target) override
    {
        std::lock_guard lock(m_mutex);
        EXPECT_TRUE(loaded);
        targets.emplace_back(target);
        calls.push_back(m_clock.TickCount());
        if (calls.size() == 4) fourCalls.set_value();
        // Switched a device every second call.
        return calls.size() % 2 == 0 ? 1 : 0;
    }
    void Unload() override
    {
        std::lock_guard lock(m_mutex);
        loaded = false;
        ++unloads;
    }
    std::vector<std::uint32_t> Calls()
    {
        std::lock_guard lock(m_mutex);
        return calls;
    }

    std::mutex m_mutex;
    std::string loadedFrom;
    bool loaded = false;
    int unloads = 0;
    std::vector<std::string> targets;
    std::vector<std::uint32_t> calls;
    std::promise<void> fourCalls;

private:
    platform::IClock& m_clock;
    bool m_loads;
    bool m_hasEntry;
};

// A box that stays open until the test closes it.
class HeldBoxes final : public platform::IMessageBoxes {
public:
    platform::BoxAnswer Show(const std::string& text, const std::string&, platform::BoxButtons,
                             platform::BoxIcon) override
    {
        shown.set_value(text);
        closed.get_future().wait();
        return platform::BoxAnswer::Ok;
    }
    std::promise<std::string> shown;
    std::promise<void> closed;
};

class ReplugThreadTest : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    platform::MemorySerialPorts ports;
    OtherBackends others;
    const platform::Backends backends = others.With(clock, ports);
};

TEST_F(ReplugThreadTest, CallsEveryThreeSecondsOrFiveAfterASwitchAndStopsOutsideTheLibrary)
{
    FakeLibrary library(clock, true, true);
    app::ReplugThread thread(library);
    thread.Start(backends, "work");
    library.fourCalls.get_future().wait();
    thread.StopThread();
    const std::vector<std::uint32_t> calls = library.Calls();
    thread.UnloadLibrary();

    EXPECT_EQ(library.loadedFrom, flashing::JoinPath("work", "Hopcycle.dll"));
    EXPECT_EQ(library.targets.front(), "USB\\Vid_3E1F&Pid_2000");
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(calls[1] - calls[0], 3000u);
    EXPECT_EQ(calls[2] - calls[1], 5000u);
    EXPECT_EQ(calls[3] - calls[2], 3000u);
    // Stopped means no call after StopThread returned; unloaded after that.
    EXPECT_EQ(library.Calls().size(), calls.size());
    EXPECT_FALSE(library.loaded);
    thread.Start(backends, "work");
    EXPECT_EQ(library.Calls().size(), calls.size()) << "a stopped thread started again";
}

TEST_F(ReplugThreadTest, AFailureIsSaidOnceAndAStopDoesNotWaitForItsBox)
{
    const struct {
        bool loads;
        bool hasEntry;
        const char* box;
    } cases[] = {
        {false, false, "Load Hopcycle.dll fail"},
        {true, false, "Load Hopcycle.dll -> Hopcycle() fail!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.box);
        HeldBoxes boxes;
        const platform::Backends held{clock, ports, others.awake, others.process, others.finder, boxes,
                                      others.payloads};
        FakeLibrary library(clock, c.loads, c.hasEntry);
        app::ReplugThread thread(library);
        thread.Start(held, "work");
        EXPECT_EQ(boxes.shown.get_future().get(), c.box);
        // The box is still open: the stop returns all the same.
        thread.StopThread();
        EXPECT_EQ(library.loaded, c.loads) << "a library without its export stays loaded until the clean-up";
        boxes.closed.set_value();
        thread.Join();
        thread.UnloadLibrary();
        EXPECT_FALSE(library.loaded);
        EXPECT_TRUE(library.Calls().empty());
    }
}

}  // namespace
