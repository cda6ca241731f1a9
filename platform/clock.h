#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

// A local calendar date and time of day.
struct LocalTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Every wait, time-out and polling period of the system goes through this
// interface, so that tests can run minutes of device pauses in microseconds.
class IClock {
public:
    virtual ~IClock() = default;
    virtual void SleepMs(std::uint32_t ms) = 0;
    // Milliseconds since an arbitrary start; wraps like the system tick count.
    virtual std::uint32_t TickCount() = 0;
    // The local date and time, for time stamps.
    virtual LocalTime Now() = 0;
};

// The operating system's clock.
class RealClock final : public IClock {
public:
    void SleepMs(std::uint32_t ms) override;
    std::uint32_t TickCount() override;
    LocalTime Now() override;
};

// Time that advances only when someone sleeps. With the in-process simulated
// modem a whole retry path costs no real time and an exact number of
// virtual milliseconds.
class VirtualClock final : public IClock {
public:
    explicit VirtualClock(std::uint32_t start = 0) : m_now(start) {}
    void SleepMs(std::uint32_t ms) override;
    std::uint32_t TickCount() override;
    // 5 December 2026, 09:05:07, plus the virtual time that has passed.
    LocalTime Now() override;
    void Advance(std::uint32_t ms) { SleepMs(ms); }

private:
    std::atomic<std::uint32_t> m_now;
};

// Real time running `scale` times faster: a sleep of S ms takes S/scale real
// milliseconds and the tick count advances `scale` ms per real millisecond.
// For demonstrations only; the scale is always chosen explicitly.
class ScaledClock final : public IClock {
public:
    explicit ScaledClock(double scale);
    void SleepMs(std::uint32_t ms) override;
    std::uint32_t TickCount() override;
    LocalTime Now() override;

private:
    double m_scale;
    std::uint64_t m_startUs;
};

}  // namespace platform
