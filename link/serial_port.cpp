#include "link/serial_port.h"

#include <algorithm>
#include <cstdio>


platform::SerialSettings CSerialPort::SettingsFor(int port, int baudRate, int dataBits, int stopBits)
{
    platform::SerialSettings settings;
    settings.baudRate = baudRate;
    settings.dataBits = dataBits;
    settings.stopBits = stopBits;
    char text[96];
    std::snprintf(text, sizeof text, "COM%d: %d, n, %d, %d", port, baudRate, dataBits, stopBits);
    settings.configText = text;
    settings.inQueueSize = kQueueSize;
    settings.outQueueSize = kQueueSize;
    settings.eventMask = kEventMask;
    settings.timeouts.readIntervalTimeout = 0xFFFFFFFF;
    settings.timeouts.readTotalTimeoutMultiplier = 0xFFFFFFFF;
    settings.timeouts.readTotalTimeoutConstant = 30000;
    settings.timeouts.writeTotalTimeoutMultiplier = 1;
    settings.timeouts.writeTotalTimeoutConstant = 50;
    return settings;
}

bool CSerialPort::Open(int port, int baudRate, int dataBits, int stopBits)
{
    if (m_open) return true;
    auto device = m_ports.OpenPort(port);
    if (!device) return false;
    if (!device->Configure(SettingsFor(port, baudRate, dataBits, stopBits))) return false;
    device->Purge(true, true);
    m_device = std::move(device);
    m_open = true;
    return true;
}

bool CSerialPort::Close()
{
    if (!m_open || !m_device) return true;
    // A timed-out write has already been cancelled by the device, so only
    // input is left to discard; flushing output here could cut off bytes a
    // completed write has not yet delivered to the device's side.
    m_device->Purge(false, true);
    m_device.reset();
    m_open = false;
    return true;
}

std::uint32_t CSerialPort::Write(const std::uint8_t* data, std::uint32_t length)
{
    if (!m_open || !m_device) return 0;
    m_device->Purge(false, true);
    return m_device->Write(data, length, kWriteWaitMs);
}

std::uint32_t CSerialPort::WriteKeepingInput(const std::uint8_t* data, std::uint32_t length)
{
    if (!m_open || !m_device) return 0;
    return m_device->Write(data, length, kWriteWaitMs);
}

std::uint32_t CSerialPort::BytesWaiting()
{
    if (!m_open || !m_device) return 0;
    return m_device->QueuedInput();
}

std::uint32_t CSerialPort::Read(std::uint8_t* buffer, std::uint32_t maximum)
{
    if (!m_open || !m_device) return 0;
    const std::uint32_t queued = m_device->QueuedInput();
    if (queued == 0 || maximum == 0) return 0;
    return m_device->Read(buffer, std::min(queued, maximum), kReadWaitMs);
}

CSerialPort::Settled CSerialPort::WaitForSettledInput(std::uint32_t beforeMs, std::uint32_t betweenMs,
                                                      std::uint32_t timeoutMs)
{
    platform::IClock& clock = m_clock;
    const std::uint32_t start = clock.TickCount();
    Settled input;
    do {
        if (beforeMs > 0) clock.SleepMs(beforeMs);
        input.count = BytesWaiting();
        clock.SleepMs(betweenMs);
        input.settled = input.count >= 1 && BytesWaiting() == input.count;
    } while (!input.settled && clock.TickCount() - start <= timeoutMs);
    return input;
}
