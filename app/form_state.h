#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "workflow/document.h"
#include "workflow/form_link.h"

namespace app {

inline constexpr const char* kPortCaption = "Port Information:";
inline constexpr const char* kVersionCaption = "Current  Version:";
inline constexpr const char* kRatioCaption = "Current Ratio:";
inline constexpr const char* kStartButton = "UPDATE";
inline constexpr const char* kSearching = "Searching...";
inline constexpr const char* kReady = "Ready. Now press the \"UPDATE\" button to start the update.";
inline constexpr const char* kDownloading = "Downloading...";

// The fixed texts of the form, top to bottom; warnings are drawn in
// RGB(255, 40, 0).
struct FixedText {
    enum class Kind { Instruction, Warning, Note };
    const char* text;
    Kind kind;
};
std::span<const FixedText> FixedTexts();

// What line 1's controls show at one moment.
struct FormView {
    std::string portField = kSearching;
    std::string versionField = kSearching;
    // The status line: the run log while a line reports, else the status
    // text of the last device-text refresh.
    std::string statusLine = "Waiting...";
    // The run log as last shown, even after a refresh replaced it on the
    // status line.
    std::string runLog;
    std::string ratio = "0/100";
    int progress = 0;
    // The image being written and how far it has got; empty between images
    // and once the progress is back at 0.
    std::string transferImage;
    std::uint64_t transferDone = 0;
    std::uint64_t transferTotal = 0;
    // How long the run still takes, as estimated at clock tick
    // `timeLeftTick`; nothing while it is not known.
    std::optional<std::uint32_t> timeLeftMs;
    std::uint32_t timeLeftTick = 0;
    bool startEnabled = true;
    // Grows with every change, close requests included.
    std::uint64_t revision = 0;
};

// The main form without a window system: line 1's controls as texts and
// states, kept by the refresh and reporting operations from any thread. A
// front end renders FormView and waits for changes; the Windows view wraps
// the same object.
class FormState final : public IFormLink {
public:
    explicit FormState(CVadodIVODAvuzUzovDoc& document) : m_document(document) {}

    // Told after every change, on the changing thread and outside the lock.
    // Set before any other thread uses the form.
    void OnChange(std::function<void()> changed) { m_changedHook = std::move(changed); }

    void RefreshPortField(int line) override;
    void RefreshDeviceText(int line) override;
    void RefreshLineControls(int line, bool enable) override;
    void ShowLineText(int line, const std::string& text) override;
    void ShowProgress(int line, int percent) override;
    void ShowTransfer(int line, const std::string& image, std::uint64_t done, std::uint64_t total) override;
    void ShowTimeLeft(int line, std::optional<std::uint32_t> leftMs, std::uint32_t tick) override;
    // Posts a close request and waits until the front end has taken it up,
    // or until the form is closing.
    void RequestClose() override;

    // A close request that does not wait: the close box, the end of the
    // process asked for from the user-interface thread.
    void PostClose();

    FormView View() const;
    // The view once its revision differs from `seen`, or as it is after
    // `limit`.
    FormView WaitForChange(std::uint64_t seen, std::chrono::milliseconds limit) const;

    // Front end: whether a close request came since the last call.
    [[nodiscard]] bool TakeCloseRequest();
    // Front end: the requests taken so far are handled (the window closes or
    // stays open); their RequestClose calls return.
    void CloseHandled();
    // Front end: the window closes for good; every RequestClose, waiting or
    // later, returns at once.
    void MarkClosing();

private:
    // Runs `change` on the view under the lock, then wakes the waiters.
    template <typename Change>
    void Update(Change change);
    void Changed();

    CVadodIVODAvuzUzovDoc& m_document;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::function<void()> m_changedHook;
    FormView m_view;
    std::uint64_t m_closePosted = 0;
    std::uint64_t m_closeTaken = 0;
    std::uint64_t m_closeHandled = 0;
    bool m_closing = false;
};

}  // namespace app
