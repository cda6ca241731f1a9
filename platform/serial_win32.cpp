#include "platform/serial_win32.h"

#include <windows.h>

#include <cstdio>

namespace platform {
namespace {

class Win32SerialDevice final : public ISerialDevice {
public:
    explicit Win32SerialDevice(HANDLE handle) : m_handle(handle) {}

    ~Win32SerialDevice() override
    {
        if (m_readEvent) CloseHandle(m_readEvent);
        if (m_writeEvent) CloseHandle(m_writeEvent);
        CloseHandle(m_handle);
    }

    bool Configure(const SerialSettings& settings) override
    {
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = settings.timeouts.readIntervalTimeout;
        timeouts.ReadTotalTimeoutMultiplier = settings.timeouts.readTotalTimeoutMultiplier;
        timeouts.ReadTotalTimeoutConstant = settings.timeouts.readTotalTimeoutConstant;
        timeouts.WriteTotalTimeoutMultiplier = settings.timeouts.writeTotalTimeoutMultiplier;
        timeouts.WriteTotalTimeoutConstant = settings.timeouts.writeTotalTimeoutConstant;

        ZeroMemory(&m_readOverlapped, sizeof m_readOverlapped);
        ZeroMemory(&m_writeOverlapped, sizeof m_writeOverlapped);
        m_readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_readOverlapped.hEvent = m_readEvent;
        m_writeOverlapped.hEvent = m_writeEvent;

        // The text is applied on top of the current control block, so every
        // field it does not name keeps the driver's value.
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        const bool configured = GetCommState(m_handle, &dcb) &&
                                BuildCommDCBA(settings.configText.c_str(), &dcb) &&
                                SetCommState(m_handle, &dcb);
        return configured && SetupComm(m_handle, settings.inQueueSize, settings.outQueueSize) &&
               SetCommMask(m_handle, settings.eventMask) && SetCommTimeouts(m_handle, &timeouts) &&
               m_readEvent && m_writeEvent;
    }

    void Purge(bool output, bool input) override
    {
        DWORD flags = 0;
        if (output) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
        if (input) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
        if (flags) PurgeComm(m_handle, flags);
    }

    std::uint32_t Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) override
    {
        DWORD written = 0;
        ResetEvent(m_writeEvent);
        if (WriteFile(m_handle, data, length, &written, &m_writeOverlapped)) return written;
        if (GetLastError() != ERROR_IO_PENDING) return written;
        if (WaitForSingleObject(m_writeEvent, waitMs) != WAIT_OBJECT_0) {
            // Abort the write now rather than leave it to run into the next
            // request; wait for the cancelled operation to settle.
            PurgeComm(m_handle, PURGE_TXABORT | PURGE_TXCLEAR);
            CancelIo(m_handle);
            GetOverlappedResult(m_handle, &m_writeOverlapped, &written, TRUE);
            return 0;
        }
        if (!GetOverlappedResult(m_handle, &m_writeOverlapped, &written, FALSE)) return 0;
        m_writeOverlapped.Offset += written;
        return written;
    }

    std::uint32_t QueuedInput() override
    {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(m_handle, &errors, &status)) return 0;
        return status.cbInQue;
    }

    std::uint32_t Read(std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) override
    {
        DWORD delivered = 0;
        ResetEvent(m_readEvent);
        if (ReadFile(m_handle, data, length, &delivered, &m_readOverlapped)) return delivered;
        if (GetLastError() != ERROR_IO_PENDING) return delivered;
        if (WaitForSingleObject(m_readEvent, waitMs) != WAIT_OBJECT_0) {
            CancelIo(m_handle);
            delivered = 0;
            GetOverlappedResult(m_handle, &m_readOverlapped, &delivered, TRUE);
            return delivered;
        }
        if (!GetOverlappedResult(m_handle, &m_readOverlapped, &delivered, FALSE)) return 0;
        return delivered;
    }

private:
    HANDLE m_handle;
    OVERLAPPED m_readOverlapped{};
    OVERLAPPED m_writeOverlapped{};
    HANDLE m_readEvent = nullptr;
    HANDLE m_writeEvent = nullptr;
};

}  // namespace

std::unique_ptr<ISerialDevice> Win32SerialPorts::OpenPort(int number)
{
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A port is opened exclusively: access is denied while any other
        // program has it open.
        if (GetLastError() == ERROR_ACCESS_DENIED) Held(number);
        return nullptr;
    }
    {
        std::lock_guard lock(m_mutex);
        m_told.erase(number);
    }
    return std::make_unique<Win32SerialDevice>(handle);
}

void Win32SerialPorts::OnHeld(std::function<void(const std::string&)> notify)
{
    std::lock_guard lock(m_mutex);
    m_notify = std::move(notify);
}

void Win32SerialPorts::Held(int number)
{
    std::function<void(const std::string&)> notify;
    {
        std::lock_guard lock(m_mutex);
        if (!m_notify || !m_told.insert(number).second) return;
        notify = m_notify;
    }
    notify("COM" + std::to_string(number) + " is held open by another program: close that program, or tell it to "
           "leave the modem alone, before the upgrade.");
}

}  // namespace platform
