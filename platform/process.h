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

// The operating system's: flushes the streams and ends at once.
class SystemProcess final : public IProcess {
public:
    void Exit(int code) override;
};

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

}  // namespace platform
