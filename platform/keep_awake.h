#pragma once

#include <atomic>
#include <string>

#include "platform/scoped_backend.h"

namespace platform {

// Keeping the computer from sleeping or idling while a line writes a modem:
// sleep in the middle of a flash leaves the device unusable. Hold and Release
// come in pairs from the same thread (Windows keeps the request per thread).
class IKeepAwake {
public:
    virtual ~IKeepAwake() = default;
    // False, with the reason in `problem`, when the system cannot be asked;
    // the run goes on all the same.
    [[nodiscard]] virtual bool Hold(std::string& problem) = 0;
    // Gives the request back; nothing happens when none is held.
    virtual void Release() = 0;
};

// Windows: SetThreadExecutionState. Linux: a logind inhibitor lock for
// sleep and idle in block mode, taken over the system bus
// ($DBUS_SYSTEM_BUS_ADDRESS where set).
IKeepAwake& KeepAwake();
IKeepAwake* SetKeepAwake(IKeepAwake* keepAwake);

// Counts what is held, for tests; `refuse` makes every Hold fail.
class RecordingKeepAwake final : public IKeepAwake {
public:
    explicit RecordingKeepAwake(bool refuse = false) : m_refuse(refuse) {}
    bool Hold(std::string& problem) override
    {
        ++holds;
        if (m_refuse) {
            problem = "refused by the test";
            return false;
        }
        held = true;
        return true;
    }
    void Release() override
    {
        ++releases;
        held = false;
    }

    std::atomic<int> holds{0};
    std::atomic<int> releases{0};
    std::atomic<bool> held{false};

private:
    bool m_refuse;
};

using ScopedKeepAwake = ScopedBackend<IKeepAwake, SetKeepAwake>;

}  // namespace platform
