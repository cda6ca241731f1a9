#pragma once

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
    // Asks the main window to close and returns once it has been handled.
    virtual void RequestClose() = 0;
};
