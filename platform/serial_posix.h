#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/serial_device.h"

namespace platform {

// Port numbers resolved through a folder of links com<N> (the scheme Wine
// uses in dosdevices), each pointing at a terminal device.
// A port is opened only when no other copy holds it (flock) and is then
// held exclusively (TIOCEXCL), so no other program can open it meanwhile.
class PosixSerialPorts final : public ISerialPorts {
public:
    explicit PosixSerialPorts(std::string directory) : m_directory(std::move(directory)) {}
    std::unique_ptr<ISerialDevice> OpenPort(int number) override;
    const std::string& Directory() const { return m_directory; }

    // Told, with a sentence for the run log, about each other process that
    // holds a terminal open when this program is about to open it; once
    // per terminal and process.
    void OnHeld(std::function<void(const std::string&)> notify);

private:
    void TellHolders(int number, const std::string& device);

    std::string m_directory;
    std::mutex m_mutex;
    std::function<void(const std::string&)> m_notify;
    std::set<std::pair<std::string, int>> m_told;
};

struct PortHolder {
    int pid;
    std::string program;
};
// The processes other than this one that hold `device` open, from /proc.
std::vector<PortHolder> FindPortHolders(const std::string& device);

}  // namespace platform
