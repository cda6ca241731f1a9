#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What the workflow asks of the form: its three refresh operations and the
// close request to the main window. The form implements it; tests record it.
class IFormLink {
public:
    virtual ~IFormLink() = default;
    // "COM%d" of the line's diagnostic port, or "NULL".
    virtual void RefreshPortField(int line) = 0;
    // The line status text and, from it, the status line and start button.
    virtual void RefreshDeviceText(int line) = 0;
    virtual void RefreshLineControls(int line, bool enable) = 0;
    // The line's run log text and progress, as the reporting operations set
    // them.
    virtual void ShowLineText(int line, const std::string& text) = 0;
    virtual void ShowProgress(int line, int percent) = 0;
    // The image being written and how far it has got; a form that shows
    // only the ratio ignores it.
    virtual void ShowTransfer(int /*line*/, const std::string& /*image*/, std::uint64_t /*done*/,
                              std::uint64_t /*total*/)
    {
    }
    // The run's time left, estimated at clock tick `tick`.
    virtual void ShowTimeLeft(int /*line*/, std::optional<std::uint32_t> /*leftMs*/, std::uint32_t /*tick*/) {}
    // Asks the main window to close and returns once it has been handled.
    virtual void RequestClose() = 0;
};
