#pragma once

#include "platform/serial_device.h"

namespace platform {

// Port numbers opened as "\\.\COM%d" with overlapped I/O.
class Win32SerialPorts final : public ISerialPorts {
public:
    std::unique_ptr<ISerialDevice> OpenPort(int number) override;
};

}  // namespace platform
