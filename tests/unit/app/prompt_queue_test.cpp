// Boxes that worker threads raise, asked by the user-interface loop.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/prompt_queue.h"

namespace {

using platform::BoxAnswer;
using platform::BoxButtons;

// A prompt's title and the thread it was asked on.
using Asked = std::pair<std::string, std::thread::id>;

// Asks no one: records each prompt with the thread it was asked on and
// answers with the button that is not the default.
class Asker {
public:
    BoxAnswer operator()(const app::Prompt& prompt)
    {
        std::function<void()> action;
        {
            std::lock_guard lock(m_mutex);
            m_asked.push_back({prompt.title, std::this_thread::get_id()});
            action = std::exchange(m_whileAsking, nullptr);
        }
        if (action) action();
        return prompt.buttons == BoxButtons::YesNo      ? BoxAnswer::No
               : prompt.buttons == BoxButtons::OkCancel ? BoxAnswer::Cancel
                                                        : BoxAnswer::Ok;
    }
    // Runs once, inside the next prompt asked.
    void WhileAsking(std::function<void()> action)
    {
        std::lock_guard lock(m_mutex);
        m_whileAsking = std::move(action);
    }
    std::vector<Asked> Log() const
    {
        std::lock_guard lock(m_mutex);
        return m_asked;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Asked> m_asked;
    std::function<void()> m_whileAsking;
};

// A worker thread that raises one box and keeps the answer it got.
struct Worker {
    Worker(app::PromptQueue& queue, const std::string& title, BoxButtons buttons)
        : thread([this, &queue, title, buttons] { answer = queue.Show("text", title, buttons, platform::BoxIcon::None); })
    {
    }
    BoxAnswer Answer()
    {
        thread.join();
        return answer.value();
    }

    std::optional<BoxAnswer> answer;
    std::thread thread;
};

// A box counted as waiting is in the loop's hands: its worker only waits.
void AwaitWaiting(const app::PromptQueue& queue, std::size_t count)
{
    while (queue.Waiting() < count) std::this_thread::yield();
}

// The loop's queue with two workers' boxes waiting, oldest first.
class PromptQueueTest : public ::testing::Test {
protected:
    Asker asker;
    app::PromptQueue queue{std::ref(asker)};
    const std::thread::id loop = std::this_thread::get_id();
    PromptQueueTest()
    {
        first.emplace(queue, "first", BoxButtons::YesNo);
        AwaitWaiting(queue, 1);
        second.emplace(queue, "second", BoxButtons::OkCancel);
        AwaitWaiting(queue, 2);
    }

    std::optional<Worker> first, second;
};

TEST_F(PromptQueueTest, WorkersBoxesAreAskedOnTheLoopThreadOnceEachOldestFirst)
{
    // A box raised while the loop asks is served in the same turn.
    std::optional<Worker> third;
    asker.WhileAsking([&] {
        third.emplace(queue, "third", BoxButtons::Ok);
        AwaitWaiting(queue, 3);
    });
    queue.Serve();
    EXPECT_EQ(queue.Waiting(), 0u);
    // Releases whatever Serve left, so that a fault fails instead of hanging.
    queue.StopServing();

    EXPECT_EQ(first->Answer(), BoxAnswer::No);
    EXPECT_EQ(second->Answer(), BoxAnswer::Cancel);
    EXPECT_EQ(third->Answer(), BoxAnswer::Ok);
    EXPECT_EQ(asker.Log(), (std::vector<Asked>{{"first", loop}, {"second", loop}, {"third", loop}}));
}

TEST_F(PromptQueueTest, TheLoopsOwnBoxIsAskedAtOnce)
{
    // Queued behind the workers' boxes, the loop would wait for itself.
    EXPECT_EQ(queue.Show("text", "own", BoxButtons::YesNo, platform::BoxIcon::None), BoxAnswer::No);
    queue.StopServing();
    EXPECT_EQ(first->Answer(), BoxAnswer::No);
    EXPECT_EQ(second->Answer(), BoxAnswer::Cancel);
    EXPECT_EQ(asker.Log().front().first, "own");
}

TEST_F(PromptQueueTest, StoppingAsksTheQueuedBoxesBeforeLaterOnesThoseOnTheirOwnThread)
{
    std::optional<Worker> later;
    std::thread::id laterThread;
    asker.WhileAsking([&] {
        later.emplace(queue, "later", BoxButtons::YesNo);
        laterThread = later->thread.get_id();
    });
    queue.StopServing();

    EXPECT_EQ(first->Answer(), BoxAnswer::No);
    EXPECT_EQ(second->Answer(), BoxAnswer::Cancel);
    EXPECT_EQ(later->Answer(), BoxAnswer::No);
    EXPECT_EQ(asker.Log(), (std::vector<Asked>{{"first", loop}, {"second", loop}, {"later", laterThread}}));
    EXPECT_EQ(queue.Waiting(), 0u);
}

}  // namespace
