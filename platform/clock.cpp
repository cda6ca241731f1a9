#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace platform {
namespace {

std::uint64_t MonotonicUs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

LocalTime CivilFromDays(std::int64_t days)
{
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    LocalTime time;
    time.day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    time.month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    time.year = static_cast<int>(static_cast<std::int64_t>(yearOfEra) + era * 400 + (time.month <= 2));
    return time;
}

LocalTime FromTm(const std::tm& tm)
{
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

LocalTime LocalNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &now);
#else
    localtime_r(&now, &tm);
#endif
    return FromTm(tm);
}

}  // namespace

LocalTime RealClock::Now() { return LocalNow(); }

LocalTime ScaledClock::Now() { return LocalNow(); }

LocalTime VirtualClock::Now()
{
    // Plain calendar arithmetic from a fixed start, so that the result does
    // not depend on the host's time zone.
    const std::int64_t seconds = 9 * 3600 + 5 * 60 + 7 + m_now.load() / 1000;
    const std::int64_t days = DaysFromCivil(2026, 12, 5) + seconds / 86400;
    LocalTime time = CivilFromDays(days);
    time.hour = static_cast<int>(seconds % 86400 / 3600);
    time.minute = static_cast<int>(seconds % 3600 / 60);
    time.second = static_cast<int>(seconds % 60);
    return time;
}

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
