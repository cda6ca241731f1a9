#include "app/cdrom_switch.h"

#include <algorithm>

#include "platform/backends.h"
#include "platform/scsi_generic.h"
#include "platform/udev_ports.h"

namespace app {
namespace {

constexpr std::uint32_t kFoundPauseMs = 5000;
constexpr std::uint32_t kNotFoundPauseMs = 3000;
constexpr unsigned kCommandTimeoutMs = 10000;

// The vendor command that ends the CD-ROM mode: 0x85, then nine 0x01.
std::vector<std::uint8_t> SwitchCommand()
{
    std::vector<std::uint8_t> cdb(10, 0x01);
    cdb[0] = 0x85;
    return cdb;
}

}  // namespace

bool CdromSwitchThread::SwitchOnce()
{
    const platform::ScsiGenericNodes found = platform::FindScsiGeneric(kVendor, kProduct);
    if (found.devices > 0 && found.devnodes.empty()) {
        Note("The modem shows itself as a CD-ROM drive but has no SCSI generic node, so it cannot be switched to its "
             "serial ports: load the sg module (sudo modprobe sg). It is looked for again meanwhile.");
    }
    for (const std::string& devnode : found.devnodes) {
        std::string error;
        if (!platform::SendScsiCommand(devnode, SwitchCommand(), kCommandTimeoutMs, error)) {
            Note("The CD-ROM drive of the modem could not be switched to its serial ports (" + error +
                 "): install this program's udev rules and plug the modem in again.");
        }
    }
    return !found.devnodes.empty();
}

void CdromSwitchThread::Start(const platform::Backends& backends, const std::string&)
{
    StopThread();
    m_thread = std::jthread([this, &clock = backends.clock](std::stop_token stop) {
        while (!stop.stop_requested()) {
            // A stop ends the pause early; the loop then ends too.
            static_cast<void>(platform::PauseUnlessStopped(clock, stop, SwitchOnce() ? kFoundPauseMs : kNotFoundPauseMs));
        }
    });
}

void CdromSwitchThread::StopThread()
{
    if (!m_thread.joinable()) return;
    m_thread.request_stop();
    m_thread.join();
}

void CdromSwitchThread::Note(const std::string& text)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_told.insert(text).second) return;
    }
    if (m_note) m_note(text);
}

}  // namespace app
