#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/cdrom_switch.h"
#include "link/step_result.h"
#include "platform/backends.h"
#include "platform/registry.h"
#include "platform/serial_posix.h"
#include "platform/udev_ports.h"

namespace app {

// Where the Linux tool finds the modem's ports, chosen at start-up: the
// simulated modem's ports folder and registry file when either is given
// (an option or its variable), else the USB devices udev reports.
class PortBackend {
public:
    struct Choice {
        std::string portsDir;
        std::string registryFile;
        std::string usbTable;  // empty: the installed table, else the built-in one
        std::vector<std::pair<std::uint16_t, std::uint16_t>> devices;
    };

    // Builds the ports and the port finder. Fails, saying why, when the
    // table of USB devices cannot be read or is wrong.
    StepResult Install(const Choice& choice);
    // The ports and the finder Install chose; valid once it succeeded.
    platform::ISerialPorts& SerialPorts();
    platform::IPortFinder& PortFinder();
    // The run log's first line: where the ports come from.
    const std::string& Description() const { return m_description; }
    // Sentences for the run log: a holder of a port, a second modem, a
    // port that answers nothing, a CD-ROM drive that cannot be switched.
    void OnNote(std::function<void(const std::string&)> notify);
    // The CD-ROM switch, on a real bus only.
    IReplugThread* Replug() { return m_replug.get(); }

private:
    std::unique_ptr<platform::PosixSerialPorts> m_files;
    std::unique_ptr<platform::RegFileRegistry> m_fileRegistry;
    std::unique_ptr<platform::RegistryPortFinder> m_fileFinder;
    std::unique_ptr<platform::UdevPorts> m_udev;
    std::unique_ptr<CdromSwitchThread> m_replug;
    std::function<void(const std::string&)> m_notify;
    std::string m_description;
};

}  // namespace app
