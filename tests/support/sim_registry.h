#pragma once

#include <memory>
#include <string>

#include "platform/registry.h"
#include "sim/inprocess_modem.h"

// The registry as the simulated modem's drivers keep it (the first pair of
// driver services): each port the device has at the moment has an instance
// and a "PortName"; a port it lacks (all while it is away, the modem port
// in download mode) leaves its service with Count 0. Every open first
// brings the device up to the clock, as opening one of its ports does, so
// the registry and the ports agree. Use it from the thread that drives the
// device.
class SimRegistry final : public platform::IRegistry {
public:
    static constexpr const char* kModemService = "Nollexusbmdm6k";
    static constexpr const char* kDiagService = "Nollexusbser6k";
    static constexpr const char* kModemInstance = "USB\\VID_FFF1&PID_0001&MI_02\\7&1F00A2&0&0002";
    static constexpr const char* kDiagInstance = "USB\\VID_FFF1&PID_0001&MI_00\\7&1F00A2&0&0000";

    explicit SimRegistry(sim::InProcessModem& served) : m_served(served) {}

    std::unique_ptr<platform::IRegistryKey> OpenMachineKey(const std::string& path, std::uint32_t access) override
    {
        m_served.Advance();
        const sim::SimModem& modem = m_served.Modem();
        const int diag = modem.Present() ? modem.DiagPort() : -1;
        const int mdm = modem.Present() ? modem.ModemPort() : -1;
        // The text starts with REGEDIT4: it is always taken.
        static_cast<void>(m_tree.Import("REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet]\r\n" + Service(kModemService, kModemInstance, mdm) +
                      Service(kDiagService, kDiagInstance, diag)));
        return m_tree.OpenMachineKey(path, access);
    }

private:
    static std::string Service(const char* service, const char* instance, int port)
    {
        std::string escaped;
        for (const char* c = instance; *c; ++c) escaped += *c == '\\' ? "\\\\" : std::string(1, *c);
        std::string text = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + std::string(service) + "\\Enum]\r\n";
        if (port < 0) return text + "\"Count\"=dword:00000000\r\n";
        return text + "\"Count\"=dword:00000001\r\n\"0\"=\"" + escaped + "\"\r\n" +
               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters]\r\n" +
               "\"PortName\"=\"COM" + std::to_string(port) + "\"\r\n";
    }

    sim::InProcessModem& m_served;
    platform::MemoryRegistry m_tree;
};
