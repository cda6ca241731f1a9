#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>

#include "platform/serial_device.h"

namespace platform {

// Port numbers opened as "\\.\COM%d" with overlapped I/O.
class Win32SerialPorts final : public ISerialPorts {
public:
    std::unique_ptr<ISerialDevice> OpenPort(int number) override;

    // Takes a sentence for the run log when a port cannot be opened because
    // another program holds it; once per port until it opens again.
    void OnHeld(std::function<void(const std::string&)> notify);

private:
    void Held(int number);

    std::mutex m_mutex;
    std::function<void(const std::string&)> m_notify;
    std::set<int> m_told;
};

}  // namespace platform
