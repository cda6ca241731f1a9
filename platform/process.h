#pragma once

#include <atomic>
#include <vector>

namespace platform {

// Ending the whole process. Callers return right after Exit, so that a test
// double can record the call instead of ending the test program.
class IProcess {
public:
    virtual ~IProcess() = default;
    virtual void Exit(int code) = 0;
};

IProcess& Process();
void SetProcess(IProcess* process);

class RecordingProcess final : public IProcess {
public:
    void Exit(int code) override
    {
        m_code = code;
        m_exited = true;
    }
    bool Exited() const { return m_exited; }
    int Code() const { return m_code; }

private:
    std::atomic<bool> m_exited{false};
    std::atomic<int> m_code{-1};
};

class ScopedProcess {
public:
    explicit ScopedProcess(IProcess& process) { SetProcess(&process); }
    ~ScopedProcess() { SetProcess(nullptr); }
    ScopedProcess(const ScopedProcess&) = delete;
    ScopedProcess& operator=(const ScopedProcess&) = delete;
};

}  // namespace platform
