#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace platform {
namespace {

std::uint64_t MonotonicUs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

void RealClock::SleepMs(std::uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint32_t RealClock::TickCount()
{
    return static_cast<std::uint32_t>(MonotonicUs() / 1000);
}

void VirtualClock::SleepMs(std::uint32_t ms)
{
    m_now.fetch_add(ms);
}

std::uint32_t VirtualClock::TickCount()
{
    return m_now.load();
}

ScaledClock::ScaledClock(double scale) : m_scale(scale > 0 ? scale : 1.0), m_startUs(MonotonicUs()) {}

void ScaledClock::SleepMs(std::uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<std::int64_t>(ms * 1000.0 / m_scale)));
}

std::uint32_t ScaledClock::TickCount()
{
    return static_cast<std::uint32_t>((MonotonicUs() - m_startUs) * m_scale / 1000.0);
}

}  // namespace platform
