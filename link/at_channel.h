#pragma once

#include <cstdint>
#include <string>

#include "link/serial_port.h"

// Sends one AT command at a time on the modem port and returns the first
// line of the reply.
class CAtChannel {
public:
    static constexpr std::uint32_t kMaxTimeoutMs = 5000;
    static constexpr std::uint32_t kReplyReadSize = 256;

    CAtChannel(platform::IClock& clock, platform::ISerialPorts& ports) : port(clock, ports) {}
    virtual ~CAtChannel() { port.Close(); }
    CAtChannel(const CAtChannel&) = delete;
    CAtChannel& operator=(const CAtChannel&) = delete;

    // Stores the smaller of `ms` and 5000.
    bool SetTimeout(std::uint32_t ms);
    // Stores `attempts` when it is 1 to 9; otherwise false and no change.
    bool SetAttempts(int attempts);

    // True when a reply arrived with a complete first line that is not "error".
    [[nodiscard]] bool Execute(const std::string& command, std::string& line);
    [[nodiscard]] bool SendCommand(const std::string& command);

    // The first reply line: the text between the first CR LF and the next
    // CR LF. False when there is none or it reads "error" in any case.
    [[nodiscard]] static bool ExtractReplyLine(const std::string& reply, std::string& line);

    const std::string& ReplyText() const { return m_reply; }

    CSerialPort port;

private:
    std::string m_reply;
    std::uint32_t m_timeoutMs = kMaxTimeoutMs;
    int m_attempts = 3;
};
