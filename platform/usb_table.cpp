#include "platform/usb_table.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <sstream>

namespace platform {
namespace {

bool ParseHex(std::string_view text, std::size_t digits, unsigned& value)
{
    if (text.size() != digits || !std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
        return false;
    }
    return std::from_chars(text.data(), text.data() + text.size(), value, 16).ec == std::errc{};
}

}  // namespace

std::string UsbIdText(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

bool ParseUsbId(std::string_view text, std::uint16_t& vendor, std::uint16_t& product)
{
    const std::size_t colon = text.find(':');
    unsigned v = 0;
    unsigned p = 0;
    if (colon == std::string_view::npos || !ParseHex(text.substr(0, colon), 4, v) ||
        !ParseHex(text.substr(colon + 1), 4, p)) {
        return false;
    }
    vendor = static_cast<std::uint16_t>(v);
    product = static_cast<std::uint16_t>(p);
    return true;
}

bool UsbTable::Parse(std::string_view text, UsbTable& table, std::string& error)
{
    UsbTable parsed;
    std::istringstream in{std::string(text)};
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string content = line.substr(0, line.find('#'));
        std::istringstream fields(content);
        std::string id;
        std::string interface;
        std::string role;
        std::string extra;
        if (!(fields >> id)) continue;
        const auto wrong = [&](const char* why) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            error = "line " + std::to_string(number) + " (" + line + "): " + why;
            return false;
        };
        if (!(fields >> interface >> role) || (fields >> extra)) return wrong("expected vendor:product interface role");
        Entry entry{};
        const std::size_t colon = id.find(':');
        unsigned vendor = 0;
        if (colon == std::string::npos || !ParseHex(std::string_view(id).substr(0, colon), 4, vendor)) {
            return wrong("the vendor is not four hex digits");
        }
        entry.vendor = static_cast<std::uint16_t>(vendor);
        const std::string product = id.substr(colon + 1);
        if (product != "*") {
            unsigned value = 0;
            if (!ParseHex(product, 4, value)) return wrong("the product is neither four hex digits nor *");
            entry.product = static_cast<std::uint16_t>(value);
        }
        if (interface != "*") {
            unsigned value = 0;
            if (!ParseHex(interface, 2, value)) return wrong("the interface is neither two hex digits nor *");
            entry.interface = static_cast<int>(value);
        }
        if (role == "diag") entry.role = PortRole::Diag;
        else if (role == "modem") entry.role = PortRole::Modem;
        else if (role == "probe") entry.role = PortRole::Probe;
        else return wrong("the role is not diag, modem or probe");
        parsed.m_entries.push_back(entry);
    }
    table = std::move(parsed);
    return true;
}

std::string UsbTable::DefaultPath() { return "/etc/upgrader/usb-interfaces"; }

void UsbTable::AddDevice(std::uint16_t vendor, std::uint16_t product)
{
    m_entries.push_back({vendor, product, std::nullopt, PortRole::Probe});
}

bool UsbTable::Knows(std::uint16_t vendor, std::uint16_t product) const
{
    return std::any_of(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
        return entry.vendor == vendor && (!entry.product || *entry.product == product);
    });
}

std::optional<PortRole> UsbTable::RoleOf(std::uint16_t vendor, std::uint16_t product, int interface) const
{
    for (const Entry& entry : m_entries) {
        if (entry.vendor == vendor && (!entry.product || *entry.product == product) &&
            (!entry.interface || *entry.interface == interface)) {
            return entry.role;
        }
    }
    return std::nullopt;
}

std::string UsbTable::Describe() const
{
    std::vector<std::string> ids;
    for (const Entry& entry : m_entries) {
        std::string id = UsbIdText(entry.vendor) + ":" + (entry.product ? UsbIdText(*entry.product) : "*");
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    std::string text;
    for (const std::string& id : ids) text += (text.empty() ? "" : ", ") + id;
    return text.empty() ? "none" : text;
}

}  // namespace platform
