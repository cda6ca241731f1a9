#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/serial_device.h"

namespace platform {

struct PortHolder {
    int pid;
    std::string program;
};
// The processes other than this one that hold `device` open, from /proc.
std::vector<PortHolder> FindPortHolders(const std::string& device);
// "name (process 12), other (process 30)"; empty when none.
std::string DescribeHolders(const std::string& device);

// Opens a terminal device for a port: only when no other copy of this
// program holds it (flock), and then exclusively (TIOCEXCL), so that no
// other program can open it meanwhile. Null when it cannot.
std::unique_ptr<ISerialDevice> OpenTerminal(const std::string& device);

// Tells, with a sentence for the run log, about each other process that
// holds a terminal open when this program is about to open it; once per
// terminal and process.
class HolderNotes {
public:
    void OnHeld(std::function<void(const std::string&)> notify);
    void Tell(int number, const std::string& device);

private:
    std::mutex m_mutex;
    std::function<void(const std::string&)> m_notify;
    std::set<std::pair<std::string, int>> m_told;
};

// Port numbers resolved through a folder of links com<N> (the scheme Wine
// uses in dosdevices), each pointing at a terminal device.
class PosixSerialPorts final : public ISerialPorts {
public:
    explicit PosixSerialPorts(std::string directory) : m_directory(std::move(directory)) {}
    std::unique_ptr<ISerialDevice> OpenPort(int number) override;
    std::string HeldBy(int number) override;
    const std::string& Directory() const { return m_directory; }

    void OnHeld(std::function<void(const std::string&)> notify) { m_holders.OnHeld(std::move(notify)); }

private:
    std::string Link(int number) const { return m_directory + "/com" + std::to_string(number); }

    std::string m_directory;
    HolderNotes m_holders;
};

}  // namespace platform
