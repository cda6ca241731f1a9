#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "app/startup.h"
#include "payload/manifest.h"

namespace app {

// What the thread shows when the library cannot be loaded or lacks its export.
inline const std::string kReplugLoadFailed = "Load " + std::string(payload::kReplugLibrary.fileName) + " fail";
inline const std::string kReplugEntryFailed =
    "Load " + std::string(payload::kReplugLibrary.fileName) + " -> Hopcycle() fail!";
// The hardware-id prefix of the modem the library is asked to switch.
inline constexpr const char* kReplugTarget = "USB\\Vid_3E1F&Pid_2000";

// The re-plug library as the thread uses it. The Windows program loads the
// library's payload from the working folder; tests put a double in its place.
class IReplugLibrary {
public:
    virtual ~IReplugLibrary() = default;
    // Loads the library from its absolute path.
    [[nodiscard]] virtual bool Load(const std::string& path) = 0;
    // Looks up its one export; only after a Load that succeeded.
    [[nodiscard]] virtual bool FindEntry() = 0;
    // Calls the export with a hardware-id prefix.
    virtual int Call(const char* target) = 0;
    // Unloads it; nothing happens when it is not loaded.
    virtual void Unload() = 0;
};

// The re-plug thread: loads the library from the working folder and calls
// it every 3 s (5 s after it switched a device) until it is stopped. A
// library that cannot be loaded, or lacks its export, is said once in a box
// and the thread ends. Stopping is cooperative: the thread ends at its next
// pause, never inside the library, so that the library can then be unloaded
// and its file deleted.
class ReplugThread final : public IReplugThread {
public:
    explicit ReplugThread(IReplugLibrary& library) : m_library(library) {}
    // Stops the thread and unloads the library.
    ~ReplugThread() override;
    ReplugThread(const ReplugThread&) = delete;
    ReplugThread& operator=(const ReplugThread&) = delete;

    // Once per process; later calls do nothing.
    void Start(const platform::Backends& backends, const std::string& workingFolder) override;
    // Returns once the thread no longer calls into the library: at once when
    // it never started, has ended, or is only showing why it failed.
    void StopThread() override;
    // Stops the thread first, then unloads the library.
    void UnloadLibrary() override;
    // Waits until the thread has ended, a box it still shows included. Call
    // it before the message boxes that box goes through are taken away.
    void Join();

private:
    void Run(std::stop_token stop, const platform::Backends& backends, const std::string& path);
    // The thread is past the point where it could enter the library again.
    void Settle();

    IReplugLibrary& m_library;
    std::mutex m_mutex;
    std::condition_variable m_settled;
    bool m_started = false;
    bool m_isSettled = false;
    std::jthread m_thread;
};

}  // namespace app
