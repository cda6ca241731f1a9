#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>

namespace sim {

using NvData = std::array<std::uint8_t, 128>;

enum class NvKind { Active, Inactive, ReadOnly, Unsupported };

// The device's NV items. Items never set explicitly exist as active items
// whose calibration values derive from the item number and the device's
// serial; the factory values (what a freshly written file system holds)
// derive from the item number alone, so a lost restore is visible.
class NvStore {
public:
    explicit NvStore(std::uint32_t serial = 0x5EED0001) : m_serial(serial) {}

    void Set(std::uint16_t item, NvKind kind, const NvData& data);
    void SetKind(std::uint16_t item, NvKind kind);

    NvKind Kind(std::uint16_t item) const;
    NvData Value(std::uint16_t item) const;
    NvData FactoryValue(std::uint16_t item) const;

    // Device status of a read or write (0 done, 5 not active, 7 read only);
    // unsupported items are answered with a DIAG error instead.
    std::uint16_t Read(std::uint16_t item, NvData& data) const;
    std::uint16_t Write(std::uint16_t item, const NvData& data);

    // What writing a new file-system image does.
    void ResetToFactory();
    int Writes() const { return m_writes; }

    struct Item {
        NvKind kind = NvKind::Active;
        NvData data{};
        bool operator==(const Item&) const = default;
    };
    // The items set or written, and whether the others hold factory values.
    const std::map<std::uint16_t, Item>& Items() const { return m_items; }
    bool Factory() const { return m_factory; }
    // The items as a kept state held them.
    void Restore(std::map<std::uint16_t, Item> items, bool factory)
    {
        m_items = std::move(items);
        m_factory = factory;
    }

private:
    NvData Generated(std::uint16_t item, std::uint32_t seed) const;

    std::uint32_t m_serial;
    std::map<std::uint16_t, Item> m_items;
    bool m_factory = false;
    int m_writes = 0;
};

}  // namespace sim
