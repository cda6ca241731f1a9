#include "app/port_backend.h"

#include <cstdlib>

#include "app/port_probe.h"
#include "platform/files.h"

namespace app {
namespace {

// A table of a few lines: anything near this size is not one.
constexpr std::size_t kMaxUsbTableSize = 64 * 1024;

std::string Variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

platform::ISerialPorts& PortBackend::SerialPorts()
{
    if (m_files) return *m_files;
    return *m_udev;
}

platform::IPortFinder& PortBackend::PortFinder()
{
    if (m_fileFinder) return *m_fileFinder;
    return *m_udev;
}

StepResult PortBackend::Install(const Choice& choice)
{
    const bool simulated = !choice.portsDir.empty() || !choice.registryFile.empty() ||
                           !Variable("UPGRADER_PORTS_DIR").empty() || !Variable("UPGRADER_REGISTRY_FILE").empty();
    if (simulated) {
        const std::string ports = choice.portsDir.empty() ? platform::PortsDirectory() : choice.portsDir;
        const std::string registry = choice.registryFile.empty() ? platform::RegistryFilePath() : choice.registryFile;
        m_files = std::make_unique<platform::PosixSerialPorts>(ports);
        m_fileRegistry = std::make_unique<platform::RegFileRegistry>(registry);
        m_fileFinder = std::make_unique<platform::RegistryPortFinder>(*m_fileRegistry);
        m_description = "Ports: the simulated modem's, from the links in " + ports + " and the registry file " + registry + ".";
        return {};
    }

    platform::UsbTable table;
    std::string source = "built in";
    const std::string path = choice.usbTable.empty() ? platform::UsbTable::DefaultPath() : choice.usbTable;
    std::string text = platform::UsbTable::kBuiltIn;
    std::string why;
    const platform::FileRead read = platform::ReadRegularFile(path, kMaxUsbTableSize, text, why);
    if (read == platform::FileRead::Missing && !choice.usbTable.empty()) why = "does not exist";
    if (!why.empty()) {
        return StepResult::Failed("the table of USB devices " + path + " " + why + ": name a readable table with --usb-table");
    }
    if (read == platform::FileRead::Read) source = path;
    std::string wrong;
    if (!platform::UsbTable::Parse(text, table, wrong)) {
        return StepResult::Failed("the table of USB devices " + path + " is wrong at " + wrong);
    }
    for (const auto& [vendor, product] : choice.devices) table.AddDevice(vendor, product);
    m_description = "Ports: through udev, of the USB devices " + table.Describe() + " (table: " + source + ").";
    m_udev = std::make_unique<platform::UdevPorts>(std::move(table), ProbePort);
    m_replug = std::make_unique<CdromSwitchThread>([this](const std::string& text) {
        if (m_notify) m_notify(text);
    });
    return {};
}

void PortBackend::OnNote(std::function<void(const std::string&)> notify)
{
    m_notify = notify;
    if (m_files) m_files->OnHeld(notify);
    if (m_fileRegistry) m_fileRegistry->OnRefused(notify);
    if (m_udev) m_udev->OnNote(notify);
}

}  // namespace app
