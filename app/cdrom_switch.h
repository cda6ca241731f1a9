#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "app/startup.h"

namespace app {

// The re-plug thread on Linux: a modem that still shows itself as a CD-ROM
// drive (USB 3e1f:2000) is sent, through each of its SCSI generic nodes,
// the command that makes it leave that mode and come back with its serial
// ports. Every 5 s after a device was found, every 3 s while none is.
class CdromSwitchThread final : public IReplugThread {
public:
    static constexpr std::uint16_t kVendor = 0x3E1F;
    static constexpr std::uint16_t kProduct = 0x2000;

    // `note` takes sentences for the run log; each is said once.
    explicit CdromSwitchThread(std::function<void(const std::string&)> note) : m_note(std::move(note)) {}
    ~CdromSwitchThread() override { StopThread(); }

    void Start(const platform::Backends& backends, const std::string& workingFolder) override;
    void StopThread() override;
    // Nothing is loaded on Linux.
    void UnloadLibrary() override {}

    // One round: true when at least one node of the device was found and
    // sent the command.
    [[nodiscard]] bool SwitchOnce();

private:
    void Note(const std::string& text);

    std::function<void(const std::string&)> m_note;
    std::mutex m_mutex;
    std::set<std::string> m_told;
    std::jthread m_thread;
};

}  // namespace app
