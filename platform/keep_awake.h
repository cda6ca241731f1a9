#pragma once

#include <atomic>
#include <memory>
#include <string>

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
// ($DBUS_SYSTEM_BUS_ADDRESS where set). A front end makes one for its run.
std::unique_ptr<IKeepAwake> SystemKeepAwake();

// Counts what is held, for tests; `refuse` makes every Hold fail.
class RecordingKeepAwake final : public IKeepAwake {
public:
    bool Hold(std::string& problem) override
    {
        ++holds;
        if (refuse) {
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
    std::atomic<bool> refuse{false};
};

}  // namespace platform
