#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "link/step_result.h"

class DownloadLine;

// How far a run has got with the device, as its run journal records it: a
// run cut short is taken up again from here. In the order a run reaches
// them.
enum class RunPhase {
    BackedUp,        // the NV items are saved; the device is still in normal mode
    Downloader,      // the device is in its boot downloader
    Programmer,      // the flash programmer runs
    PartitionTable,  // from here on the flash is being rewritten
    BootLoaders,
    ModemSoftware,
    NandProgrammer,
    FileSystem,      // from here on the NV items may be at factory values
    Flashed,         // every image is written; the device is to come back
    Restoring,       // the NV items are being written back
};

// How a line's worker and the procedures it calls report: progress from 0
// to 100 and entries in the line's run log. The form implements it; tests
// record it.
class ILineReporter {
public:
    virtual ~ILineReporter() = default;
    virtual void SetLineProgress(int line, int percent) = 0;
    virtual void AppendLineText(int line, std::string_view text, bool stamped) = 0;
    // How far the image being written has got: `done` of `total` bytes of
    // the file `image`. Only front ends that show it need to listen.
    virtual void ShowTransfer(int /*line*/, const std::string& /*image*/, std::uint64_t /*done*/,
                              std::uint64_t /*total*/)
    {
    }
    // The run has reached `phase`; only the worker that keeps a run journal
    // needs to listen.
    virtual void Reached(int /*line*/, RunPhase /*phase*/) {}
    // How long the run still takes, as estimated at clock tick `tick`;
    // nothing while it is not known.
    virtual void ShowTimeLeft(int /*line*/, std::optional<std::uint32_t> /*leftMs*/, std::uint32_t /*tick*/) {}
};

// What a procedure works on: one line, its index (0-based; messages show it
// from 1) and where it reports.
struct LineContext {
    int index;
    DownloadLine& line;
    ILineReporter& report;

    void Log(std::string_view text) const { report.AppendLineText(index, text, true); }
    void Progress(int percent) const { report.SetLineProgress(index, percent); }
    void Transfer(const std::string& image, std::uint64_t done, std::uint64_t total) const
    {
        report.ShowTransfer(index, image, done, total);
    }
    void Reached(RunPhase phase) const { report.Reached(index, phase); }
};

// The progress text of a line: "%d/100" with the value capped at 100.
std::string ProgressText(int percent);
