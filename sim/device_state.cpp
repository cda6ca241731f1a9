// The state a device keeps across power cuts, as the bytes of a state file:
//   "MODEMSIM", version (32 bits)
//   partition table taken (8 bits), its length (32 bits) and bytes
//   image count (32 bits), then per image: type (8 bits), flags (8 bits:
//     1 closed, 2 superseded by a later partition table), header length
//     (32 bits) and bytes, data length (32 bits) and bytes
//   NV factory values (8 bits), item count (32 bits), then per item: item
//     number (16 bits), kind (8 bits), 128 bytes of data
// All numbers little-endian. RAM is not kept: a power cut empties it.
#include <cstring>

#include "sim/modem.h"

namespace sim {
namespace {

constexpr char kMagic[] = "MODEMSIM";
constexpr std::size_t kMagicSize = sizeof kMagic - 1;
constexpr std::uint32_t kVersion = 1;
constexpr std::uint8_t kClosed = 1;
constexpr std::uint8_t kSuperseded = 2;

void PutBlock(Bytes& out, const Bytes& block)
{
    PutLe(out, static_cast<std::uint32_t>(block.size()), 4);
    out.insert(out.end(), block.begin(), block.end());
}

// Reads fields in order; any field past the end fails the whole read.
class Reader {
public:
    explicit Reader(const Bytes& bytes) : m_bytes(bytes) {}

    bool Take(std::size_t size, const std::uint8_t*& at)
    {
        if (m_bytes.size() - m_offset < size) return false;
        at = m_bytes.data() + m_offset;
        m_offset += size;
        return true;
    }
    bool Number(std::size_t size, std::uint32_t& value)
    {
        const std::uint8_t* at = nullptr;
        if (!Take(size, at)) return false;
        value = 0;
        for (std::size_t i = 0; i < size; ++i) value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
        return true;
    }
    bool Block(Bytes& block)
    {
        std::uint32_t size = 0;
        const std::uint8_t* at = nullptr;
        if (!Number(4, size) || !Take(size, at)) return false;
        block.assign(at, at + size);
        return true;
    }
    bool AtEnd() const { return m_offset == m_bytes.size(); }

private:
    const Bytes& m_bytes;
    std::size_t m_offset = 0;
};

}  // namespace

Bytes SimModem::SaveState() const
{
    Bytes out = SaveFlashState();
    const Bytes nv = SaveNvState();
    out.insert(out.end(), nv.begin(), nv.end());
    return out;
}

Bytes SimModem::SaveFlashState() const
{
    Bytes out(kMagic, kMagic + kMagicSize);
    PutLe(out, kVersion, 4);
    out.push_back(m_programmer.TableTaken() ? 1 : 0);
    PutBlock(out, m_programmer.PartitionTable());
    PutLe(out, static_cast<std::uint32_t>(m_programmer.Images().size()), 4);
    for (const auto& [type, image] : m_programmer.Images()) {
        out.push_back(type);
        out.push_back(static_cast<std::uint8_t>((image.closed ? kClosed : 0) | (image.superseded ? kSuperseded : 0)));
        PutBlock(out, image.header);
        PutBlock(out, image.data);
    }
    return out;
}

Bytes SimModem::SaveNvState() const
{
    Bytes out;
    out.push_back(m_nv.Factory() ? 1 : 0);
    PutLe(out, static_cast<std::uint32_t>(m_nv.Items().size()), 4);
    for (const auto& [number, item] : m_nv.Items()) {
        PutLe(out, number, 2);
        out.push_back(static_cast<std::uint8_t>(item.kind));
        out.insert(out.end(), item.data.begin(), item.data.end());
    }
    return out;
}

bool SimModem::LoadState(const Bytes& state, std::string& error)
{
    Reader in(state);
    const std::uint8_t* magic = nullptr;
    std::uint32_t version = 0;
    if (!in.Take(kMagicSize, magic) || std::memcmp(magic, kMagic, kMagicSize) != 0 || !in.Number(4, version)) {
        error = "not a device state file";
        return false;
    }
    if (version != kVersion) {
        error = "device state of version " + std::to_string(version) + ", this program reads version " + std::to_string(kVersion);
        return false;
    }
    error = "the device state is damaged or cut short";
    std::uint32_t taken = 0;
    std::uint32_t count = 0;
    Bytes table;
    if (!in.Number(1, taken) || taken > 1 || !in.Block(table) || !in.Number(4, count)) return false;
    std::map<std::uint8_t, FlashImage> images;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t type = 0;
        std::uint32_t flags = 0;
        FlashImage image;
        if (!in.Number(1, type) || !in.Number(1, flags) || flags > (kClosed | kSuperseded) || images.count(static_cast<std::uint8_t>(type)) ||
            !in.Block(image.header) || !in.Block(image.data)) {
            return false;
        }
        image.closed = flags & kClosed;
        image.superseded = flags & kSuperseded;
        images[static_cast<std::uint8_t>(type)] = std::move(image);
    }
    std::uint32_t factory = 0;
    if (!in.Number(1, factory) || factory > 1 || !in.Number(4, count)) return false;
    std::map<std::uint16_t, NvStore::Item> items;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t number = 0;
        std::uint32_t kind = 0;
        const std::uint8_t* data = nullptr;
        NvStore::Item item;
        if (!in.Number(2, number) || !in.Number(1, kind) || kind > static_cast<std::uint32_t>(NvKind::Unsupported) ||
            items.count(static_cast<std::uint16_t>(number)) || !in.Take(item.data.size(), data)) {
            return false;
        }
        item.kind = static_cast<NvKind>(kind);
        std::memcpy(item.data.data(), data, item.data.size());
        items[static_cast<std::uint16_t>(number)] = item;
    }
    if (!in.AtEnd()) return false;
    error.clear();
    m_programmer.Restore(std::move(table), taken == 1, std::move(images));
    m_nv.Restore(std::move(items), factory == 1);
    SwitchOn();
    return true;
}

}  // namespace sim
