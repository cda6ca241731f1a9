#pragma once

#include <string>

#include "platform/serial_device.h"

namespace platform {

// Port numbers resolved through a folder of links com<N> (the scheme Wine
// uses in dosdevices), each pointing at a terminal device.
class PosixSerialPorts final : public ISerialPorts {
public:
    explicit PosixSerialPorts(std::string directory) : m_directory(std::move(directory)) {}
    std::unique_ptr<ISerialDevice> OpenPort(int number) override;
    const std::string& Directory() const { return m_directory; }

private:
    std::string m_directory;
};

}  // namespace platform
