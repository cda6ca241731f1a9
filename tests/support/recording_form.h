#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "workflow/document.h"
#include "workflow/form_link.h"

// The form as the workflow sees it: every call as "<line> <call>", with what
// the form would show from the document at that moment and the virtual tick
// it came at; the progress values with their ticks, and each image's transfer.
class RecordingForm final : public IFormLink {
public:
    explicit RecordingForm(CVadodIVODAvuzUzovDoc& doc) : m_doc(doc) {}

    void RefreshPortField(int line) override { Add(line, "port " + std::to_string(m_doc.Line(line).diagPort)); }
    void RefreshDeviceText(int line) override { Add(line, "text " + m_doc.Line(line).StatusText()); }
    void RefreshLineControls(int line, bool enable) override { Add(line, enable ? "on" : "off"); }
    void ShowLineText(int line, const std::string&) override { Add(line, "log"); }
    void ShowProgress(int line, int percent) override
    {
        Add(line, "progress", percent);
        if (onProgress) onProgress(percent);
    }
    void RequestClose() override
    {
        Add(-1, "close");
        ++closeRequests;
    }
    void ShowTransfer(int, const std::string& image, std::uint64_t done, std::uint64_t total) override
    {
        std::lock_guard lock(m_mutex);
        auto& [highest, size] = m_transfers[image];
        highest = std::max(highest, done);
        size = total;
    }

    std::vector<std::string> Calls(std::size_t count = SIZE_MAX) const
    {
        std::lock_guard lock(m_mutex);
        return std::vector<std::string>(m_calls.begin(), m_calls.begin() + static_cast<std::ptrdiff_t>(std::min(count, m_calls.size())));
    }
    std::uint32_t Tick(std::size_t call) const
    {
        std::lock_guard lock(m_mutex);
        return m_ticks.at(call);
    }
    std::vector<int> Progress() const { return Copy(m_progress); }
    std::vector<std::uint32_t> ProgressTicks() const { return Copy(m_progressTicks); }
    // Per image written, the most of it reported done and its size.
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> Transfers() const { return Copy(m_transfers); }

    std::atomic<int> closeRequests{0};
    // Called on every progress value, from whichever thread shows it.
    std::function<void(int)> onProgress;

private:
    // A copy of `value`, taken while no recording thread changes it.
    template <class T>
    T Copy(const T& value) const
    {
        std::lock_guard lock(m_mutex);
        return value;
    }
    void Add(int line, const std::string& call, int percent = -1)
    {
        const std::uint32_t tick = m_doc.Backends().clock.TickCount();
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::to_string(line) + " " + call);
        m_ticks.push_back(tick);
        if (percent < 0) return;
        m_progress.push_back(percent);
        m_progressTicks.push_back(tick);
    }

    CVadodIVODAvuzUzovDoc& m_doc;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::vector<std::uint32_t> m_ticks;
    std::vector<int> m_progress;
    std::vector<std::uint32_t> m_progressTicks;
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> m_transfers;
};
