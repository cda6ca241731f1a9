#pragma once

#include <string>
#include <string_view>

class DownloadLine;

// How a line's worker and the procedures it calls report: progress from 0
// to 100 and entries in the line's run log. The form implements it; tests
// record it.
class ILineReporter {
public:
    virtual ~ILineReporter() = default;
    virtual void SetLineProgress(int line, int percent) = 0;
    virtual void AppendLineText(int line, std::string_view text, bool stamped) = 0;
};

// What a procedure works on: one line, its index (0-based; messages show it
// from 1) and where it reports.
struct LineContext {
    int index;
    DownloadLine& line;
    ILineReporter& report;

    void Log(std::string_view text) const { report.AppendLineText(index, text, true); }
    void Progress(int percent) const { report.SetLineProgress(index, percent); }
};

// The progress text of a line: "%d/100" with the value capped at 100.
std::string ProgressText(int percent);
