#include "platform/keep_awake.h"

#include <memory>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace platform {
namespace {

#ifdef _WIN32

class ExecutionState final : public IKeepAwake {
public:
    bool Hold(std::string& problem) override
    {
        if (SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0) return true;
        problem = "SetThreadExecutionState failed (" + std::to_string(GetLastError()) + ")";
        return false;
    }
    void Release() override { SetThreadExecutionState(ES_CONTINUOUS); }
};
using SystemKeepAwakeKind = ExecutionState;

#else

// The lock lasts as long as the descriptor logind hands back is open.
class LogindInhibitor final : public IKeepAwake {
public:
    ~LogindInhibitor() override { Release(); }

    bool Hold(std::string& problem) override
    {
        std::lock_guard lock(m_mutex);
        if (m_fd >= 0) return true;
        sd_bus* bus = nullptr;
        int result = sd_bus_open_system(&bus);
        if (result < 0) {
            problem = std::string("no system bus (") + std::strerror(-result) + ")";
            return false;
        }
        // All zero, as SD_BUS_ERROR_NULL, whose compound literal C++ lacks.
        sd_bus_error error{};
        sd_bus_message* reply = nullptr;
        result = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                                    "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss", "sleep:idle",
                                    "upgrader", "Writing the modem's firmware; sleep now would leave it unusable",
                                    "block");
        int fd = -1;
        if (result >= 0) result = sd_bus_message_read(reply, "h", &fd);
        if (result >= 0) {
            // The reply owns its descriptor; the lock needs one of its own.
            m_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            if (m_fd < 0) result = -errno;
        }
        if (result < 0) {
            problem = error.message ? error.message : std::string("logind: ") + std::strerror(-result);
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(bus);
        return m_fd >= 0;
    }

    void Release() override
    {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0) return;
        ::close(m_fd);
        m_fd = -1;
    }

private:
    std::mutex m_mutex;
    int m_fd = -1;
};
using SystemKeepAwakeKind = LogindInhibitor;

#endif

}  // namespace

std::unique_ptr<IKeepAwake> SystemKeepAwake() { return std::make_unique<SystemKeepAwakeKind>(); }

}  // namespace platform
