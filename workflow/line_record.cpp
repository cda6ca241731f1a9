#include "workflow/line_record.h"

void DownloadLine::SetStatusText(std::string_view text)
{
    std::lock_guard lock(m_statusMutex);
    m_statusText.assign(text.substr(0, kStatusTextSize - 1));
}

std::string DownloadLine::StatusText() const
{
    std::lock_guard lock(m_statusMutex);
    return m_statusText;
}

bool OpenDiagPort(DownloadLine& line, int port, int baud)
{
    line.protocol.port.Close();
    return line.protocol.port.Open(port, baud, 8, 1);
}

bool OpenModemPort(DownloadLine& line, int port, int baud)
{
    line.at.port.Close();
    if (!line.at.port.Open(port, baud, 8, 1)) return false;
    line.at.SetTimeout(1000);
    line.at.SetAttempts(2);
    return true;
}
