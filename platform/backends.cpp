#include "platform/backends.h"

#include <algorithm>
#include <atomic>

#include "platform/files.h"
#include "platform/registry.h"

#ifdef _WIN32
#include "platform/serial_win32.h"
#else
#include "platform/serial_posix.h"
#endif

namespace platform {
namespace {

std::atomic<IClock*> g_clock{nullptr};
std::atomic<IPortFinder*> g_portFinder{nullptr};

IClock& DefaultClock()
{
    static RealClock clock;
    return clock;
}

IPortFinder& DefaultPortFinder()
{
#ifdef _WIN32
    static Win32Registry registry;
#else
    static RegFileRegistry registry(RegistryFilePath());
#endif
    static RegistryPortFinder finder(registry);
    return finder;
}

}  // namespace

std::unique_ptr<ISerialPorts> SystemSerialPorts()
{
#ifdef _WIN32
    return std::make_unique<Win32SerialPorts>();
#else
    return std::make_unique<PosixSerialPorts>(PortsDirectory());
#endif
}

IClock& Clock()
{
    IClock* clock = g_clock.load();
    return clock ? *clock : DefaultClock();
}

IPortFinder& PortFinder()
{
    IPortFinder* finder = g_portFinder.load();
    return finder ? *finder : DefaultPortFinder();
}

IClock* SetClock(IClock* clock) { return g_clock.exchange(clock); }

IPortFinder* SetPortFinder(IPortFinder* finder) { return g_portFinder.exchange(finder); }

bool PauseUnlessStopped(const std::stop_token& stop, std::uint32_t ms)
{
    constexpr std::uint32_t kStopCheckMs = 50;
    IClock& clock = Clock();
    const std::uint32_t start = clock.TickCount();
    for (;;) {
        if (stop.stop_requested()) return false;
        const std::uint32_t elapsed = clock.TickCount() - start;
        if (elapsed >= ms) return true;
        clock.SleepMs(std::min(ms - elapsed, kStopCheckMs));
    }
}

}  // namespace platform
