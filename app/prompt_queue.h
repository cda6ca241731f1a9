#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/message_box.h"

namespace app {

// One message box as a question to the user.
struct Prompt {
    std::string text;
    std::string title;
    platform::BoxButtons buttons;
    platform::BoxIcon icon = platform::BoxIcon::None;
};

// Message boxes as prompts. A box from another thread waits until the
// user-interface loop asks it, so that prompts and the form never
// interleave; once the loop has stopped serving, boxes are asked on their
// own thread. Only one prompt is asked at a time.
class PromptQueue final : public platform::IMessageBoxes {
public:
    using Ask = std::function<platform::BoxAnswer(const Prompt&)>;

    // Constructed on the loop's thread; `ask` asks one prompt and returns
    // its answer; `queued`, when given, is told on the raising thread that a
    // box now waits for the loop.
    explicit PromptQueue(Ask ask, std::function<void()> queued = {});

    platform::BoxAnswer Show(const std::string& text, const std::string& title, platform::BoxButtons buttons,
                             platform::BoxIcon icon) override;

    // How many boxes wait for the loop, the one it is asking included.
    std::size_t Waiting() const;
    // On the loop's thread: asks every waiting box, oldest first, including
    // those raised while it asks.
    void Serve();
    // The loop ends: boxes still waiting are asked now, later ones on the
    // thread that shows them.
    void StopServing();

private:
    struct Pending {
        Prompt prompt;
        std::optional<platform::BoxAnswer> answer;
    };

    void Answer(Pending& pending, platform::BoxAnswer answer);
    platform::BoxAnswer AskOne(const Prompt& prompt);

    const Ask m_ask;
    const std::function<void()> m_queued;
    const std::thread::id m_loopThread;
    mutable std::mutex m_mutex;
    std::mutex m_asking;
    std::condition_variable m_answered;
    std::deque<Pending*> m_pending;
    bool m_serving = true;
};

}  // namespace app
