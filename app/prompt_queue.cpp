#include "app/prompt_queue.h"

#include <utility>

namespace app {

PromptQueue::PromptQueue(Ask ask, std::function<void()> queued)
    : m_ask(std::move(ask)), m_queued(std::move(queued)), m_loopThread(std::this_thread::get_id())
{
}

platform::BoxAnswer PromptQueue::Show(const std::string& text, const std::string& title, platform::BoxButtons buttons,
                                      platform::BoxIcon icon)
{
    std::unique_lock lock(m_mutex);
    if (std::this_thread::get_id() == m_loopThread || !m_serving) {
        lock.unlock();
        return AskOne({text, title, buttons, icon});
    }
    Pending pending{{text, title, buttons, icon}, {}};
    m_pending.push_back(&pending);
    if (m_queued) {
        lock.unlock();
        m_queued();
        lock.lock();
    }
    m_answered.wait(lock, [&] { return pending.answer.has_value(); });
    return *pending.answer;
}

std::size_t PromptQueue::Waiting() const
{
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

void PromptQueue::Serve()
{
    for (;;) {
        Pending* pending = nullptr;
        {
            std::lock_guard lock(m_mutex);
            if (m_pending.empty()) return;
            pending = m_pending.front();
        }
        const platform::BoxAnswer answer = AskOne(pending->prompt);
        {
            std::lock_guard lock(m_mutex);
            m_pending.pop_front();
        }
        Answer(*pending, answer);
    }
}

void PromptQueue::StopServing()
{
    // Boxes raised from now on wait until the ones still queued have been
    // asked, so that none is asked before an older one.
    std::lock_guard asking(m_asking);
    std::deque<Pending*> left;
    {
        std::lock_guard lock(m_mutex);
        m_serving = false;
        left.swap(m_pending);
    }
    for (Pending* pending : left) Answer(*pending, m_ask(pending->prompt));
}

void PromptQueue::Answer(Pending& pending, platform::BoxAnswer answer)
{
    {
        std::lock_guard lock(m_mutex);
        pending.answer = answer;
    }
    m_answered.notify_all();
}

platform::BoxAnswer PromptQueue::AskOne(const Prompt& prompt)
{
    std::lock_guard asking(m_asking);
    return m_ask(prompt);
}

}  // namespace app
