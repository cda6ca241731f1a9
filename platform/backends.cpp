#include "platform/backends.h"

#include <algorithm>
#include <utility>

#include "platform/files.h"
#include "platform/registry.h"

#ifdef _WIN32
#include "platform/serial_win32.h"
#else
#include "platform/serial_posix.h"
#endif

namespace platform {
namespace {

// A registry finder with the registry it reads.
class SystemRegistryFinder final : public IPortFinder {
public:
#ifdef _WIN32
    SystemRegistryFinder() = default;
#else
    SystemRegistryFinder() : m_registry(RegistryFilePath()) {}
#endif
    ModemPorts FindModemPorts() override { return m_finder.FindModemPorts(); }

private:
#ifdef _WIN32
    Win32Registry m_registry;
#else
    RegFileRegistry m_registry;
#endif
    RegistryPortFinder m_finder{m_registry};
};

}  // namespace

std::unique_ptr<ISerialPorts> SystemSerialPorts()
{
#ifdef _WIN32
    return std::make_unique<Win32SerialPorts>();
#else
    return std::make_unique<PosixSerialPorts>(PortsDirectory());
#endif
}

std::unique_ptr<IPortFinder> SystemPortFinder() { return std::make_unique<SystemRegistryFinder>(); }

SystemBackends::SystemBackends(IClock& clock, std::string failureLogPath)
    : m_ports(SystemSerialPorts()), m_awake(SystemKeepAwake()), m_finder(SystemPortFinder()),
      m_boxes(SystemMessageBoxes()),
      m_backends{clock,    *m_ports, *m_awake, m_process, *m_finder, *m_boxes, EmbeddedPayloads(),
                 std::move(failureLogPath)}
{
}

bool PauseUnlessStopped(IClock& clock, const std::stop_token& stop, std::uint32_t ms)
{
    constexpr std::uint32_t kStopCheckMs = 50;
    const std::uint32_t start = clock.TickCount();
    for (;;) {
        if (stop.stop_requested()) return false;
        const std::uint32_t elapsed = clock.TickCount() - start;
        if (elapsed >= ms) return true;
        clock.SleepMs(std::min(ms - elapsed, kStopCheckMs));
    }
}

}  // namespace platform
