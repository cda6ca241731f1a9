#pragma once

#include <cstdint>

#include "sim/wire_fields.h"

namespace sim {

class SimModem;

// The device's boot downloader: it loads a program into RAM and starts it,
// or resets the device.
class BootDownloader {
public:
    // Every request it answers; the names are those it records them under
    // and those its reply faults are keyed by.
    enum class Request { Nop, Parameters, Write, Go, Reset, Unknown, Count };
    static constexpr const char* kRequestNames[] = {"nop", "params", "dmsswrite", "go", "dmssreset", "unknown"};
    static constexpr std::uint32_t kRamBase = 0x800000;
    static constexpr std::uint32_t kRamSize = 0x400000;
    // The reply code of a refusal, followed by its reason.
    static constexpr std::uint8_t kNak = 0x03;

    explicit BootDownloader(SimModem& device) : m_device(device) {}

    void HandleFrame(const Bytes& p, std::uint32_t now);

    const Bytes& Ram() const { return m_ram; }
    std::uint32_t RamHighWater() const { return m_ramHighWater; }
    std::uint32_t StartAddress() const { return m_startAddress; }

private:
    static const char* Name(Request request) { return kRequestNames[static_cast<std::size_t>(request)]; }
    bool Reply(Request request, Bytes payload);
    void Write(const Bytes& p);

    SimModem& m_device;
    Bytes m_ram;
    std::uint32_t m_ramHighWater = 0;
    std::uint32_t m_startAddress = 0;
};

}  // namespace sim
