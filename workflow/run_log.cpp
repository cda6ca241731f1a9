#include "workflow/run_log.h"


std::string FormatTimeStamp(const platform::LocalTime& time)
{
    return std::to_string(time.year) + "." + std::to_string(time.month) + "." + std::to_string(time.day) + " " +
           std::to_string(time.hour) + ":" + std::to_string(time.minute) + ":" + std::to_string(time.second) +
           "\xA1\xAA\xA1\xAA";
}

std::string RunLog::Append(std::string_view text, const std::optional<platform::LocalTime>& stamp)
{
    std::lock_guard lock(m_mutex);
    if (stamp) m_text += FormatTimeStamp(*stamp);
    m_text += text;
    m_text += '\n';
    return m_text;
}

void RunLog::Replace(std::string text)
{
    std::lock_guard lock(m_mutex);
    m_text = std::move(text);
}

std::string RunLog::Text() const
{
    std::lock_guard lock(m_mutex);
    return m_text;
}
