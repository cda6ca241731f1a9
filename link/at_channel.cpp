#include "link/at_channel.h"

#include <algorithm>
#include <cctype>


namespace {

constexpr std::uint32_t kPollMs = 100;

// Position of the first CR at or after `from` that is followed by LF.
std::size_t FindCrLf(const std::string& text, std::size_t from)
{
    for (std::size_t cr = text.find('\r', from); cr != std::string::npos; cr = text.find('\r', cr + 1)) {
        if (cr + 1 < text.size() && text[cr + 1] == '\n') return cr;
    }
    return std::string::npos;
}

bool IsErrorLine(const std::string& line)
{
    static const std::string kError = "error";
    return line.size() == kError.size() &&
           std::equal(line.begin(), line.end(), kError.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

}  // namespace

bool CAtChannel::SetTimeout(std::uint32_t ms)
{
    m_timeoutMs = std::min(ms, kMaxTimeoutMs);
    return true;
}

bool CAtChannel::SetAttempts(int attempts)
{
    if (attempts < 1 || attempts > 9) return false;
    m_attempts = attempts;
    return true;
}

bool CAtChannel::Execute(const std::string& command, std::string& line)
{
    const std::string sent = command + '\r';
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(sent.data());
    const auto length = static_cast<std::uint32_t>(sent.size());

    bool answered = false;
    for (int attempt = 0; attempt < m_attempts && !answered; ++attempt) {
        if (port.Write(bytes, length) < length) continue;
        answered = port.WaitForSettledInput(kPollMs, kPollMs, m_timeoutMs).count >= 1;
    }
    if (!answered) return false;

    std::uint8_t buffer[kReplyReadSize];
    const std::uint32_t received = port.Read(buffer, sizeof buffer);
    m_reply.assign(reinterpret_cast<const char*>(buffer), received);
    return ExtractReplyLine(m_reply, line);
}

bool CAtChannel::SendCommand(const std::string& command)
{
    std::string line;
    return Execute(command, line);
}

bool CAtChannel::ExtractReplyLine(const std::string& reply, std::string& line)
{
    // The opening CR LF; p is where the successful search began, so a reply
    // that starts with the echoed command still yields its first line.
    std::size_t p = 0;
    std::size_t opening;
    for (;;) {
        const std::size_t cr = reply.find('\r', p);
        if (cr == std::string::npos) return false;
        if (cr + 1 < reply.size() && reply[cr + 1] == '\n') {
            opening = cr;
            break;
        }
        p = cr + 1;
    }
    const std::size_t start = opening + 2;
    const std::size_t closing = FindCrLf(reply, p + 1);
    if (closing == std::string::npos) return false;
    line = closing > start ? reply.substr(start, closing - start) : std::string();
    return !IsErrorLine(line);
}
