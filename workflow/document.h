#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <utility>

#include "workflow/line_record.h"

// The application's document: the eight download lines, index 0 to 7, and
// the line the form currently works on.
class CVadodIVODAvuzUzovDoc {
public:
    static constexpr int kLineCount = 8;

    // Every line starts with baud 115200; line 1 with diagnostic port 1, the
    // state NoPhone and "No Phone", the others with port 0, no state and
    // "NULL". Every line works with `backends`; the line control and the
    // port search take them from Backends() too.
    // The runs read their images from `workingFolder`, where start-up
    // extracts them.
    CVadodIVODAvuzUzovDoc(const platform::Backends& backends, std::string workingFolder);

    DownloadLine& Line(int index) { return m_lines[static_cast<std::size_t>(index)]; }
    bool AnyRunning() const;
    const platform::Backends& Backends() const { return m_backends; }
    const std::string& WorkingFolder() const { return m_workingFolder; }

    std::atomic<int> currentLine{0};

private:
    template <std::size_t... I>
    static std::array<DownloadLine, kLineCount> MakeLines(const platform::Backends& backends,
                                                         std::index_sequence<I...>)
    {
        const auto make = [&](std::size_t) { return DownloadLine(backends); };
        return {make(I)...};
    }

    platform::Backends m_backends;
    std::string m_workingFolder;
    std::array<DownloadLine, kLineCount> m_lines;
};
