#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/clock.h"

// Virtual time for tests whose code runs threads of its own: the test's own
// thread sleeps through at once, every other thread's sleep waits until the
// test lets it through, so that what the test looks at cannot change under
// it. From `Done` on every sleep passes at once.
class GatedClock final : public platform::IClock {
public:
    void SleepMs(std::uint32_t ms) override
    {
        std::unique_lock lock(m_mutex);
        if (std::this_thread::get_id() != m_owner) {
            ++m_sleepers;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_passes > 0 || m_done; });
            if (m_passes > 0) --m_passes;
            --m_sleepers;
            m_changed.notify_all();
        }
        m_now += ms;
    }
    std::uint32_t TickCount() override
    {
        std::lock_guard lock(m_mutex);
        return m_now;
    }
    platform::LocalTime Now() override { return {}; }
    // Lets one sleep through once a thread is in one.
    void PassOne()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_sleepers > m_passes || m_done; });
        ++m_passes;
        m_changed.notify_all();
    }
    void Done()
    {
        std::lock_guard lock(m_mutex);
        m_done = true;
        m_changed.notify_all();
    }
    // Waits until `count` threads sleep and none was let through unseen.
    void AwaitSleepers(int count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_sleepers == count && m_passes == 0; });
    }

private:
    const std::thread::id m_owner = std::this_thread::get_id();
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_sleepers = 0;
    int m_passes = 0;
    bool m_done = false;
    std::uint32_t m_now = 0;
};
