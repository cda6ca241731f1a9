#include "workflow/line_control.h"

#include <cstdio>

namespace {

bool Found(DownloadLine& line, const std::string& text)
{
    line.SetStatusText(text);
    line.state = LineState::PhoneFound;
    return true;
}

bool NoPhone(DownloadLine& line)
{
    line.state = LineState::NoPhone;
    line.SetStatusText("No Phone");
    return false;
}

}  // namespace

bool CheckPhoneInfo(DownloadLine& line)
{
    CPhoneProtocol& protocol = line.protocol;
    if (!diag::CheckCommunication(protocol)) return NoPhone(line);
    if (diag::GetFourVersions(protocol, line.versions)) return Found(line, line.versions.Field(1));
    diag::SoftwareVersion version;
    if (diag::GetSoftwareVersion(protocol, version)) return Found(line, version.Text());
    std::uint32_t esn = 0;
    if (diag::GetEsn(protocol, esn)) {
        char text[16];
        std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(esn));
        return Found(line, text);
    }
    return NoPhone(line);
}

bool SendAtCommand(DownloadLine& line, const std::string& command) { return line.at.SendCommand(command); }
