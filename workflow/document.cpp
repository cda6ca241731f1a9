#include "workflow/document.h"

CVadodIVODAvuzUzovDoc::CVadodIVODAvuzUzovDoc()
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
