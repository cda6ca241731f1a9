#pragma once

#include <cstdint>
#include <memory>

#include "platform/clock.h"
#include "platform/serial_device.h"

// One serial port of the modem, opened for overlapped I/O. Every layer above
// polls it: write a request, watch the queued count, read once it settles.
// It opens its device through the serial ports it is given and waits on the
// clock it is given.
class CSerialPort {
public:
    static constexpr std::uint32_t kQueueSize = 4096;
    static constexpr std::uint32_t kEventMask = 0x0078;  // CTS, DSR, RLSD and BREAK changes
    static constexpr std::uint32_t kWriteWaitMs = 10000;
    static constexpr std::uint32_t kReadWaitMs = 2000;

    CSerialPort(platform::IClock& clock, platform::ISerialPorts& ports) : m_clock(clock), m_ports(ports) {}
    ~CSerialPort() { Close(); }
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens "\\.\COM<port>" with the given line settings. An open port stays
    // as it is and the call succeeds.
    [[nodiscard]] bool Open(int port, int baudRate, int dataBits, int stopBits);
    bool Close();
    bool IsOpen() const { return m_open; }

    // Sends the bytes after discarding whatever input is queued, so that the
    // next read sees only the reply to this request. Returns the bytes sent;
    // 0 on a write time-out or error.
    std::uint32_t Write(const std::uint8_t* data, std::uint32_t length);
    // As Write, but queued input survives (acknowledgements of earlier blocks).
    std::uint32_t WriteKeepingInput(const std::uint8_t* data, std::uint32_t length);
    // Received bytes queued in the driver; 0 when closed.
    std::uint32_t BytesWaiting();
    // Reads at most `maximum` of the bytes already queued, never waiting for
    // more to arrive; returns the count delivered.
    std::uint32_t Read(std::uint8_t* buffer, std::uint32_t maximum);

    // How the input stood when a wait for a reply ended.
    struct Settled {
        std::uint32_t count = 0;  // bytes queued at the last look
        bool settled = false;     // some bytes, and as many after the pause
    };
    // Waits for a reply to arrive whole: each round pauses `beforeMs`, counts
    // the queued bytes, pauses `betweenMs` and counts again, until a count
    // above zero stays the same or `timeoutMs` has passed since the call.
    Settled WaitForSettledInput(std::uint32_t beforeMs, std::uint32_t betweenMs, std::uint32_t timeoutMs);

    platform::IClock& Clock() const { return m_clock; }
    platform::ISerialPorts& Ports() const { return m_ports; }

    // The settings Open applies for a port number and line settings.
    static platform::SerialSettings SettingsFor(int port, int baudRate, int dataBits, int stopBits);

private:
    platform::IClock& m_clock;
    platform::ISerialPorts& m_ports;
    std::unique_ptr<platform::ISerialDevice> m_device;
    bool m_open = false;
};
