#include "sim/nv_store.h"

namespace sim {

NvData NvStore::Generated(std::uint16_t item, std::uint32_t seed) const
{
    NvData data{};
    std::uint32_t state = seed ^ (static_cast<std::uint32_t>(item) * 0x9E3779B1u);
    for (auto& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return data;
}

void NvStore::Set(std::uint16_t item, NvKind kind, const NvData& data) { m_items[item] = {kind, data}; }

void NvStore::SetKind(std::uint16_t item, NvKind kind)
{
    auto it = m_items.find(item);
    if (it == m_items.end()) m_items[item] = {kind, Value(item)};
    else it->second.kind = kind;
}

NvKind NvStore::Kind(std::uint16_t item) const
{
    auto it = m_items.find(item);
    return it == m_items.end() ? NvKind::Active : it->second.kind;
}

NvData NvStore::Value(std::uint16_t item) const
{
    auto it = m_items.find(item);
    if (it != m_items.end()) return it->second.data;
    return m_factory ? FactoryValue(item) : Generated(item, m_serial);
}

NvData NvStore::FactoryValue(std::uint16_t item) const { return Generated(item, 0xFAC70000u); }

std::uint16_t NvStore::Read(std::uint16_t item, NvData& data) const
{
    data = {};
    switch (Kind(item)) {
    case NvKind::Inactive: return 5;
    case NvKind::Unsupported: return 8;
    default: data = Value(item); return 0;
    }
}

std::uint16_t NvStore::Write(std::uint16_t item, const NvData& data)
{
    switch (Kind(item)) {
    case NvKind::ReadOnly: return 7;
    case NvKind::Unsupported: return 8;
    default:
        // Writing an inactive item makes it active.
        m_items[item] = {NvKind::Active, data};
        ++m_writes;
        return 0;
    }
}

void NvStore::ResetToFactory()
{
    // Read-only and unsupported items keep their nature; every value goes
    // back to the factory's.
    for (auto it = m_items.begin(); it != m_items.end();) {
        if (it->second.kind == NvKind::ReadOnly || it->second.kind == NvKind::Unsupported) {
            it->second.data = FactoryValue(it->first);
            ++it;
        } else {
            it = m_items.erase(it);
        }
    }
    m_factory = true;
}

}  // namespace sim
