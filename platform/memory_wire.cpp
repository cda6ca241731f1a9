#include "platform/memory_wire.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"

namespace platform {
namespace {

bool Due(std::uint32_t dueTick, std::uint32_t now)
{
    return static_cast<std::int32_t>(now - dueTick) >= 0;
}

class MemorySerialDevice final : public ISerialDevice {
public:
    explicit MemorySerialDevice(std::shared_ptr<MemoryWire> wire) : m_wire(std::move(wire)) {}
    ~MemorySerialDevice() override { m_wire->HostClose(); }

    bool Configure(const SerialSettings& settings) override
    {
        m_wire->HostConfigure(settings);
        return true;
    }
    void Purge(bool output, bool input) override { m_wire->HostPurge(output, input); }
    std::uint32_t Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) override
    {
        return m_wire->HostWrite(data, length, waitMs);
    }
    std::uint32_t QueuedInput() override { return m_wire->HostQueued(); }
    std::uint32_t Read(std::uint8_t* data, std::uint32_t length, std::uint32_t) override
    {
        return m_wire->HostRead(data, length);
    }

private:
    std::shared_ptr<MemoryWire> m_wire;
};

}  // namespace

void MemoryWire::Attach(IWireDevice* device)
{
    std::lock_guard lock(m_mutex);
    m_device = device;
}

void MemoryWire::SendToHost(const std::vector<std::uint8_t>& bytes, std::uint32_t delayMs)
{
    if (bytes.empty()) return;
    const std::uint32_t now = m_clock.TickCount();
    std::lock_guard lock(m_mutex);
    std::uint32_t due = now + delayMs;
    // A line delivers in order: nothing overtakes what was sent before it.
    if (!m_toHost.empty() && !Due(m_toHost.back().dueTick, due)) due = m_toHost.back().dueTick;
    m_toHost.push_back({due, bytes});
}

std::vector<std::vector<std::uint8_t>> MemoryWire::HostWrites() const
{
    std::lock_guard lock(m_mutex);
    return m_hostWrites;
}

void MemoryWire::Unplug()
{
    std::lock_guard lock(m_mutex);
    m_unplugged = true;
}

void MemoryWire::SetWriteStall(bool stalled)
{
    std::lock_guard lock(m_mutex);
    m_writeStall = stalled;
}

SerialSettings MemoryWire::Settings() const
{
    std::lock_guard lock(m_mutex);
    return m_settings;
}

int MemoryWire::InputPurges() const
{
    std::lock_guard lock(m_mutex);
    return m_inputPurges;
}

bool MemoryWire::IsOpen() const
{
    std::lock_guard lock(m_mutex);
    return m_open;
}

bool MemoryWire::HostOpen()
{
    std::lock_guard lock(m_mutex);
    if (m_open) return false;
    m_open = true;
    return true;
}

void MemoryWire::HostClose()
{
    std::lock_guard lock(m_mutex);
    m_open = false;
}

void MemoryWire::HostConfigure(const SerialSettings& settings)
{
    std::lock_guard lock(m_mutex);
    m_settings = settings;
}

void MemoryWire::HostPurge(bool, bool input)
{
    if (!input) return;
    const std::uint32_t now = m_clock.TickCount();
    std::lock_guard lock(m_mutex);
    ++m_inputPurges;
    while (!m_toHost.empty() && Due(m_toHost.front().dueTick, now)) m_toHost.pop_front();
}

std::uint32_t MemoryWire::HostWrite(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs)
{
    IWireDevice* device = nullptr;
    bool stalled = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_unplugged) return 0;
        stalled = m_writeStall;
        if (!stalled) {
            m_hostWrites.emplace_back(data, data + length);
            device = m_device;
        }
    }
    if (stalled) {
        m_clock.SleepMs(waitMs);
        return 0;
    }
    if (device) device->OnHostBytes(*this, data, length);
    return length;
}

std::uint32_t MemoryWire::DeliveredLocked(std::uint32_t now) const
{
    std::uint32_t count = 0;
    for (const Chunk& chunk : m_toHost) {
        if (!Due(chunk.dueTick, now)) break;
        count += static_cast<std::uint32_t>(chunk.bytes.size());
    }
    return count;
}

std::uint32_t MemoryWire::HostQueued()
{
    const std::uint32_t now = m_clock.TickCount();
    std::lock_guard lock(m_mutex);
    return DeliveredLocked(now);
}

std::uint32_t MemoryWire::HostRead(std::uint8_t* data, std::uint32_t length)
{
    const std::uint32_t now = m_clock.TickCount();
    std::lock_guard lock(m_mutex);
    std::uint32_t done = 0;
    while (done < length && !m_toHost.empty() && Due(m_toHost.front().dueTick, now)) {
        Chunk& chunk = m_toHost.front();
        const std::uint32_t take = std::min<std::uint32_t>(length - done, static_cast<std::uint32_t>(chunk.bytes.size()));
        std::memcpy(data + done, chunk.bytes.data(), take);
        done += take;
        chunk.bytes.erase(chunk.bytes.begin(), chunk.bytes.begin() + take);
        if (chunk.bytes.empty()) m_toHost.pop_front();
    }
    return done;
}

void MemorySerialPorts::Add(int number, std::shared_ptr<MemoryWire> wire)
{
    std::lock_guard lock(m_mutex);
    m_wires[number] = std::move(wire);
}

void MemorySerialPorts::Remove(int number)
{
    std::lock_guard lock(m_mutex);
    m_wires.erase(number);
}

std::unique_ptr<ISerialDevice> MemorySerialPorts::OpenPort(int number)
{
    std::shared_ptr<MemoryWire> wire;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_wires.find(number);
        if (it == m_wires.end()) return nullptr;
        wire = it->second;
    }
    return OpenMemoryWire(std::move(wire));
}

std::unique_ptr<ISerialDevice> OpenMemoryWire(std::shared_ptr<MemoryWire> wire)
{
    if (!wire || !wire->HostOpen()) return nullptr;
    return std::make_unique<MemorySerialDevice>(std::move(wire));
}

}  // namespace platform

