#pragma once

#include <cstdint>
#include <string>

class LineControl;
class DownloadLine;
#include "workflow/line_reporting.h"

// The line whose run was started and who its device said it was, copied
// once the port search had stopped: the worker works on this line, never on
// whichever line the form shows by then, and on the ports the search left
// in it.
struct FoundDevice {
    int line = 0;
    std::string status;
};

// The thread body of a line's upgrade: from the device in its normal mode
// through backup, download mode, every image, its return, the restore and
// back to normal mode. Every way out ends the line with FinishLine, shows a
// message box and asks the main window to close. Returns 0.
int UpgradeWorker(LineControl& control, const FoundDevice& found);

// "Update success!  It costs %d minute(s) and %d second(s)." for a run of
// `seconds`.
std::string SuccessText(std::uint32_t seconds);

// Puts a device running its normal software into its boot downloader and
// reads the downloader's parameters.
StepResult SwitchToDownloadMode(LineControl& control, int line);
// After the images: resets the programmer and waits until the device is
// back on the bus in normal mode and answers.
StepResult WaitForDeviceReturn(LineControl& control, int line);
