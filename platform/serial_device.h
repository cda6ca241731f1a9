#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Time-outs of a serial device, in the driver's own terms.
struct CommTimeouts {
    std::uint32_t readIntervalTimeout = 0;
    std::uint32_t readTotalTimeoutMultiplier = 0;
    std::uint32_t readTotalTimeoutConstant = 0;
    std::uint32_t writeTotalTimeoutMultiplier = 0;
    std::uint32_t writeTotalTimeoutConstant = 0;
};

// Everything a port is configured with when it is opened.
struct SerialSettings {
    int baudRate = 0;
    int dataBits = 0;
    int stopBits = 0;
    std::string configText;  // "COM%d: %d, n, %d, %d"
    std::uint32_t inQueueSize = 0;
    std::uint32_t outQueueSize = 0;
    std::uint32_t eventMask = 0;
    CommTimeouts timeouts;
};

// One opened serial device. Every call returns before its bounded wait ends;
// nothing here blocks on bytes that may never come.
class ISerialDevice {
public:
    virtual ~ISerialDevice() = default;

    // Applies the settings on top of the device's current configuration.
    [[nodiscard]] virtual bool Configure(const SerialSettings& settings) = 0;
    // Discards queued bytes; `output` also aborts a write still in progress.
    virtual void Purge(bool output, bool input) = 0;
    // Writes all `length` bytes or gives up after `waitMs`; returns the count
    // that left. A write that timed out is cancelled before this returns, so
    // nothing of it is left pending.
    virtual std::uint32_t Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) = 0;
    // Received bytes queued in the driver (also clears line-error conditions).
    virtual std::uint32_t QueuedInput() = 0;
    // Reads up to `length` queued bytes, waiting at most `waitMs` for them;
    // returns the count actually delivered.
    virtual std::uint32_t Read(std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) = 0;
};

// The port namespace: port number to device.
class ISerialPorts {
public:
    virtual ~ISerialPorts() = default;
    // Opens port `number` exclusively; null when it does not exist or is busy.
    virtual std::unique_ptr<ISerialDevice> OpenPort(int number) = 0;
    // The other programs that hold port `number` open, for a message
    // ("name (process 12)"); empty when none does or none can be known.
    virtual std::string HeldBy(int /*number*/) { return {}; }
};

}  // namespace platform
