#include "workflow/document.h"

CVadodIVODAvuzUzovDoc::CVadodIVODAvuzUzovDoc(const platform::Backends& backends, std::string workingFolder)
    : m_backends(backends), m_workingFolder(std::move(workingFolder)), m_lines(MakeLines(backends, std::make_index_sequence<kLineCount>()))
{
    for (int i = 0; i < kLineCount; ++i) {
        DownloadLine& line = Line(i);
        line.diagPort = i == 0 ? 1 : 0;
        line.state = i == 0 ? LineState::NoPhone : LineState::None;
        line.SetStatusText(i == 0 ? "No Phone" : "NULL");
    }
}

bool CVadodIVODAvuzUzovDoc::AnyRunning() const
{
    for (const DownloadLine& line : m_lines) {
        if (line.running) return true;
    }
    return false;
}
