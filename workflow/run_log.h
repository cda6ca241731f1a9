#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

// "2026.12.5 9:5:7——": date and time without leading zeros, then two em
// dashes in code page 936 (A1 AA A1 AA), as the run log shows them.
std::string FormatTimeStamp(const platform::LocalTime& time);

// The text of one line's run log: entries appended one per event, or the
// whole text replaced by the information block of a run.
class RunLog {
public:
    // Appends [stamp] text "\n"; returns the whole text after it.
    std::string Append(std::string_view text, const std::optional<platform::LocalTime>& stamp);
    void Replace(std::string text);
    std::string Text() const;

private:
    mutable std::mutex m_mutex;
    std::string m_text;
};
