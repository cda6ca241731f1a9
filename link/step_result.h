#pragma once

#include <optional>
#include <string>
#include <utility>

// How a step ended: done, or failed with the reason why. Every layer from
// the request operations up reports a failed step this way; the reason is
// the sentence the run log and the status show, and may be empty where the
// device refused without saying why.
class [[nodiscard]] StepResult {
public:
    StepResult() = default;
    static StepResult Failed(std::string reason)
    {
        StepResult result;
        result.m_done = false;
        result.m_reason = std::move(reason);
        return result;
    }
    explicit operator bool() const { return m_done; }
    const std::string& Reason() const { return m_reason; }

private:
    bool m_done = true;
    std::string m_reason;
};

// A step that yields a value: the value, or the failed step's reason.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    // From a failed step; one that was done makes a failure without reason.
    Result(StepResult failure) : m_failure(failure ? StepResult::Failed({}) : std::move(failure)) {}

    explicit operator bool() const { return m_value.has_value(); }
    T& operator*() { return *m_value; }
    const T& operator*() const { return *m_value; }
    T* operator->() { return &*m_value; }
    const T* operator->() const { return &*m_value; }
    const std::string& Reason() const { return m_failure.Reason(); }

private:
    std::optional<T> m_value;
    StepResult m_failure;
};
