#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/clock.h"

// Virtual time for a test whose code starts threads of its own: the test's
// thread sleeps and time advances at once, while every other thread's sleep
// is held until `Release`, so that what the test looks at cannot change
// under it. From `Release` on every sleep passes at once.
class HeldClock final : public platform::IClock {
public:
    void SleepMs(std::uint32_t ms) override
    {
        if (std::this_thread::get_id() != m_owner) {
            std::unique_lock lock(m_mutex);
            m_released.wait(lock, [&] { return m_free; });
        }
        m_time.SleepMs(ms);
    }
    std::uint32_t TickCount() override { return m_time.TickCount(); }
    platform::LocalTime Now() override { return m_time.Now(); }
    void Release()
    {
        std::lock_guard lock(m_mutex);
        m_free = true;
        m_released.notify_all();
    }

private:
    const std::thread::id m_owner = std::this_thread::get_id();
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_free = false;
    platform::VirtualClock m_time;
};
