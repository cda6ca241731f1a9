#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "workflow/line_reporting.h"

// Records a line's progress values and run-log entries (stamped entries are
// kept without their stamp).
class RecordingReporter : public ILineReporter {
public:
    void SetLineProgress(int, int percent) override
    {
        std::lock_guard lock(m_mutex);
        m_progress.push_back(percent);
    }
    void AppendLineText(int, std::string_view text, bool) override
    {
        std::lock_guard lock(m_mutex);
        m_entries.emplace_back(text);
    }
    std::vector<int> Progress() const { return Copy(m_progress); }
    std::vector<std::string> Entries() const { return Copy(m_entries); }

private:
    // A copy of `value`, taken while no recording thread changes it.
    template <class T>
    T Copy(const T& value) const
    {
        std::lock_guard lock(m_mutex);
        return value;
    }
    mutable std::mutex m_mutex;
    std::vector<int> m_progress;
    std::vector<std::string> m_entries;
};
