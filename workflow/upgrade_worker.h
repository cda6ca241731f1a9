#pragma once

#include <cstdint>
#include <string>

class LineControl;
class DownloadLine;
#include "workflow/line_reporting.h"

// What the port search left on a line when its run was started: the line,
// the ports its device answered on and who the device said it was. The
// worker starts from this copy, taken once the search had stopped, and never
// from whichever line the form shows by then.
struct FoundDevice {
    int line = 0;
    int diagPort = 0;
    int modemPort = 0;
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
