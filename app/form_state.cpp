#include "app/form_state.h"

#include <algorithm>

#include "workflow/line_reporting.h"

namespace app {
namespace {

using Kind = FixedText::Kind;

constexpr FixedText kFixedTexts[] = {
    {"This upgrade tool is compatible with Windows XP (SP2/SP3), Windows Vista (SP1/SP2) and Windows 7.", Kind::Instruction},
    {"Follow these steps to update your USB stick:", Kind::Instruction},
    {"1.Remove your SIM card from the stick then insert the stick.", Kind::Instruction},
    {"2.Wait until the tool detects your stick.", Kind::Instruction},
    {"3.After the \"Update\" button becomes available, click it to start the update.", Kind::Instruction},
    {"Do not switch off your computer or start any other applications until the update complete.", Kind::Warning},
    {"The update will fail if your computer goes to sleep, standby or hibernates during the update. ", Kind::Warning},
    {"Make sure the stick is connected to mains power.", Kind::Warning},
    {"Do not insert or remove any USB devices until the update complete.", Kind::Warning},
    {"In Windows 7 or Vista, please right click the tool and select 'Run as administrator'.", Kind::Warning},
    {"Do not use an USB hub. Please connect the stick directly to the PC.", Kind::Warning},
    {"The update should take about 10 minutes to complate.", Kind::Note},
};

// Only line 1 (index 0) has visible controls.
constexpr int kShownLine = 0;

bool NamesADevice(const std::string& text) { return !text.empty() && text != "NULL" && text != "No Phone"; }

}  // namespace

std::span<const FixedText> FixedTexts() { return kFixedTexts; }

template <typename Change>
void FormState::Update(Change change)
{
    {
        std::lock_guard lock(m_mutex);
        change(m_view);
        ++m_view.revision;
    }
    Changed();
}

void FormState::Changed()
{
    m_changed.notify_all();
    if (m_changedHook) m_changedHook();
}

void FormState::RefreshPortField(int line)
{
    if (line != kShownLine) return;
    const int port = m_document.Line(line).diagPort;
    const std::string text = port != 0 ? "COM" + std::to_string(port) : "NULL";
    Update([&](FormView& view) { view.portField = text; });
}

void FormState::RefreshDeviceText(int line)
{
    if (line != kShownLine) return;
    const DownloadLine& record = m_document.Line(line);
    const std::string text = record.StatusText();
    // A device in download mode is one to start only with the journal of
    // the run that left it there, which the port search marks as found.
    const bool device =
        NamesADevice(text) && (record.mode == DeviceMode::Normal || record.state == LineState::PhoneFound);
    const bool running = record.running;
    Update([&](FormView& view) {
        view.versionField = text;
        view.statusLine = !device ? kSearching : running ? kDownloading : kReady;
        view.startEnabled = device && !running;
    });
}

void FormState::RefreshLineControls(int line, bool enable)
{
    const bool enabled = line == kShownLine ? enable : !m_document.AnyRunning();
    Update([&](FormView& view) { view.startEnabled = enabled; });
}

void FormState::ShowLineText(int line, const std::string& text)
{
    if (line != kShownLine) return;
    Update([&](FormView& view) {
        view.statusLine = text;
        view.runLog = text;
    });
}

void FormState::ShowProgress(int line, int percent)
{
    if (line != kShownLine) return;
    Update([&](FormView& view) {
        view.progress = std::clamp(percent, 0, 100);
        view.ratio = ProgressText(percent);
        if (percent == 0) {
            view.transferImage.clear();
            view.transferDone = view.transferTotal = 0;
            view.timeLeftMs.reset();
        }
    });
}

void FormState::ShowTransfer(int line, const std::string& image, std::uint64_t done, std::uint64_t total)
{
    if (line != kShownLine) return;
    Update([&](FormView& view) {
        // A finished image leaves the line until the next one starts.
        const bool finished = done >= total;
        view.transferImage = finished ? std::string() : image;
        view.transferDone = finished ? 0 : done;
        view.transferTotal = finished ? 0 : total;
    });
}

void FormState::ShowTimeLeft(int line, std::optional<std::uint32_t> leftMs, std::uint32_t tick)
{
    if (line != kShownLine) return;
    Update([&](FormView& view) {
        view.timeLeftMs = leftMs;
        view.timeLeftTick = tick;
    });
}

void FormState::RequestClose()
{
    std::unique_lock lock(m_mutex);
    const std::uint64_t ticket = ++m_closePosted;
    ++m_view.revision;
    lock.unlock();
    Changed();
    lock.lock();
    m_changed.wait(lock, [&] { return m_closing || m_closeHandled >= ticket; });
}

void FormState::PostClose()
{
    Update([&](FormView&) { ++m_closePosted; });
}

FormView FormState::View() const
{
    std::lock_guard lock(m_mutex);
    return m_view;
}

FormView FormState::WaitForChange(std::uint64_t seen, std::chrono::milliseconds limit) const
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, limit, [&] { return m_view.revision != seen; });
    return m_view;
}

bool FormState::TakeCloseRequest()
{
    std::lock_guard lock(m_mutex);
    if (m_closeTaken == m_closePosted) return false;
    m_closeTaken = m_closePosted;
    return true;
}

void FormState::CloseHandled()
{
    {
        std::lock_guard lock(m_mutex);
        m_closeHandled = m_closeTaken;
    }
    m_changed.notify_all();
}

void FormState::MarkClosing()
{
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_changed.notify_all();
}

}  // namespace app
