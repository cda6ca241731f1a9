#include "platform/process.h"

#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

class SystemProcess final : public IProcess {
public:
    void Exit(int code) override
    {
        std::fflush(nullptr);
        std::_Exit(code);
    }
};

std::atomic<IProcess*> g_process{nullptr};

}  // namespace

IProcess& Process()
{
    static SystemProcess system;
    IProcess* process = g_process.load();
    return process ? *process : system;
}

IProcess* SetProcess(IProcess* process) { return g_process.exchange(process); }

}  // namespace platform
