#include "app/replug_thread.h"

#include "flashing/box_title.h"
#include "flashing/paths.h"
#include "platform/backends.h"
#include "platform/message_box.h"

namespace app {
namespace {

constexpr std::uint32_t kSwitchedPauseMs = 5000;
constexpr std::uint32_t kNothingSwitchedPauseMs = 3000;

}  // namespace

ReplugThread::~ReplugThread()
{
    UnloadLibrary();
    Join();
}

void ReplugThread::Start(const platform::Backends& backends, const std::string& workingFolder)
{
    std::lock_guard lock(m_mutex);
    if (m_started) return;
    m_started = true;
    m_thread = std::jthread(
        [this, backends, path = flashing::JoinPath(workingFolder, payload::kReplugLibrary.fileName)](
            std::stop_token stop) { Run(stop, backends, path); });
}

void ReplugThread::Run(std::stop_token stop, const platform::Backends& backends, const std::string& path)
{
    if (stop.stop_requested()) {
        Settle();
        return;
    }
    const bool loaded = m_library.Load(path);
    if (!loaded || !m_library.FindEntry()) {
        // Settled before the box: a stop must not wait for the user.
        Settle();
        backends.messageBoxes.Show(loaded ? kReplugEntryFailed : kReplugLoadFailed, flashing::kBoxTitle,
                                   platform::BoxButtons::Ok, platform::BoxIcon::None);
        return;
    }
    while (!stop.stop_requested()) {
        const int switched = m_library.Call(kReplugTarget);
        if (!platform::PauseUnlessStopped(backends.clock, stop, switched != 0 ? kSwitchedPauseMs : kNothingSwitchedPauseMs)) break;
    }
    Settle();
}

void ReplugThread::Settle()
{
    {
        std::lock_guard lock(m_mutex);
        m_isSettled = true;
    }
    m_settled.notify_all();
}

void ReplugThread::StopThread()
{
    std::unique_lock lock(m_mutex);
    // Stopped for good: a later Start does nothing.
    const bool running = m_started;
    m_started = true;
    if (!running || !m_thread.joinable()) return;
    m_thread.request_stop();
    m_settled.wait(lock, [this] { return m_isSettled; });
}

void ReplugThread::UnloadLibrary()
{
    StopThread();
    std::lock_guard lock(m_mutex);
    m_library.Unload();
}

void ReplugThread::Join()
{
    StopThread();
    if (m_thread.joinable()) m_thread.join();
}

}  // namespace app
