#pragma once

#include <cstdint>
#include <string>

class LineControl;
class DownloadLine;
#include "workflow/line_reporting.h"
#include "workflow/run_journal.h"

// What a run does: a whole upgrade, or the rest of one that an earlier run
// left behind, as its journal says, from the mode the device is in.
enum class RunKind {
    Upgrade,
    FromBootDownloader,   // the programmer, every image, the return and the restore
    FromFlashProgrammer,  // its reset first, then as the device comes back
    RestoreOnly,          // the device is in normal mode without its NV items
};

// The line whose run was started and who its device said it was, copied
// once the port search had stopped: the worker works on this line, never on
// whichever line the form shows by then, and on the ports the search left
// in it. A run taken up again carries its journal.
struct FoundDevice {
    int line = 0;
    std::string status;
    RunKind kind = RunKind::Upgrade;
    workflow::RunJournal journal{};
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
