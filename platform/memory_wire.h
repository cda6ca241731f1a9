#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace platform {

class MemoryWire;

// The device end of an in-memory wire: told of every byte block the host
// writes, it answers through the wire.
class IWireDevice {
public:
    virtual ~IWireDevice() = default;
    virtual void OnHostBytes(MemoryWire& wire, const std::uint8_t* data, std::size_t length) = 0;
};

// A serial line held in memory. Bytes sent to the host become visible at a
// time on `clock`, so on the virtual clock replies arrive after an exact
// number of virtual milliseconds.
class MemoryWire {
public:
    explicit MemoryWire(IClock& clock) : m_clock(clock) {}
    void Attach(IWireDevice* device);

    // Device side.
    void SendToHost(const std::vector<std::uint8_t>& bytes, std::uint32_t delayMs = 0);
    // Everything the host has written, as one block per write.
    std::vector<std::vector<std::uint8_t>> HostWrites() const;
    // Makes host writes time out, as a stalled driver would.
    void SetWriteStall(bool stalled);
    // The device left the bus: host writes fail at once. Bytes that reached
    // the host before stay readable.
    void Unplug();

    // What the host configured and how often it purged its input.
    SerialSettings Settings() const;
    int InputPurges() const;
    bool IsOpen() const;

    // Host side, used through the serial device.
    [[nodiscard]] bool HostOpen();
    void HostClose();
    void HostConfigure(const SerialSettings& settings);
    void HostPurge(bool output, bool input);
    std::uint32_t HostWrite(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs);
    std::uint32_t HostQueued();
    std::uint32_t HostRead(std::uint8_t* data, std::uint32_t length);

private:
    struct Chunk {
        std::uint32_t dueTick;
        std::vector<std::uint8_t> bytes;
    };
    std::uint32_t DeliveredLocked(std::uint32_t now) const;

    IClock& m_clock;
    mutable std::mutex m_mutex;
    IWireDevice* m_device = nullptr;
    std::deque<Chunk> m_toHost;
    std::vector<std::vector<std::uint8_t>> m_hostWrites;
    SerialSettings m_settings;
    int m_inputPurges = 0;
    bool m_open = false;
    bool m_writeStall = false;
    bool m_unplugged = false;
};

// The host end of a wire as a serial device; null while another host end
// is open.
std::unique_ptr<ISerialDevice> OpenMemoryWire(std::shared_ptr<MemoryWire> wire);

// The port namespace of the in-memory wires.
class MemorySerialPorts final : public ISerialPorts {
public:
    void Add(int number, std::shared_ptr<MemoryWire> wire);
    void Remove(int number);
    std::unique_ptr<ISerialDevice> OpenPort(int number) override;

private:
    std::mutex m_mutex;
    std::map<int, std::shared_ptr<MemoryWire>> m_wires;
};

}  // namespace platform
