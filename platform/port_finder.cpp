#include "platform/port_finder.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <string>

namespace platform {
namespace {

// The services that register the device's modem (AT) port and its
// diagnostic port, one pair per driver generation, searched in this order.
struct DriverServices {
    const char* modem;
    const char* diag;
};
constexpr DriverServices kDriverServices[] = {
    {"Nollexusbmdm6k", "Nollexusbser6k"},
    {"Peltausbmdm6k", "Peltausbser6k"},
    {"qcusbmdm6k", "qcusbser6k"},
    {"HSPADataCardusbmdm6k", "HSPADataCardusbser6k"},
};

constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr const char* kEnumKey = "SYSTEM\\CurrentControlSet\\Enum\\";

// The device instance of the most recently enumerated device of the first
// service that names one.
std::optional<std::string> LatestInstance(IRegistry& registry, const char* DriverServices::*service)
{
    for (const DriverServices& pair : kDriverServices) {
        const auto key = registry.OpenMachineKey(kServicesKey + std::string(pair.*service) + "\\Enum", kAllAccess);
        if (!key) continue;
        const auto count = key->ReadDword("Count");
        if (!count) continue;
        // Count - 1 written as a signed number: a count of 0 asks for "-1",
        // which no driver writes.
        if (auto instance = key->ReadText(std::to_string(static_cast<std::int32_t>(*count - 1)))) return instance;
    }
    return std::nullopt;
}

// "COM" and a decimal number. Taking whatever follows the first three
// characters would make "LPT1" port 1 and a bare "COM" port 0.
std::optional<int> ParsePortName(const std::string& name)
{
    if (name.size() <= 3 || !std::equal(name.begin(), name.begin() + 3, "COM", [](char a, char b) {
            return std::toupper(static_cast<unsigned char>(a)) == b;
        })) {
        return std::nullopt;
    }
    const char* digits = name.data() + 3;
    const char* end = name.data() + name.size();
    if (!std::all_of(digits, end, [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    int number = 0;
    const auto [stop, error] = std::from_chars(digits, end, number);
    if (error != std::errc{} || stop != end || number == 0) return std::nullopt;
    return number;
}

std::optional<int> PortOf(IRegistry& registry, const char* DriverServices::*service)
{
    const auto instance = LatestInstance(registry, service);
    if (!instance) return std::nullopt;
    const auto key = registry.OpenMachineKey(kEnumKey + *instance + "\\Device Parameters", kAllAccess);
    if (!key) return std::nullopt;
    const auto name = key->ReadText("PortName");
    return name ? ParsePortName(*name) : std::nullopt;
}

}  // namespace

ModemPorts RegistryPortFinder::FindModemPorts()
{
    ModemPorts ports;
    ports.modem = PortOf(m_registry, &DriverServices::modem);
    ports.diag = PortOf(m_registry, &DriverServices::diag);
    return ports;
}

}  // namespace platform
