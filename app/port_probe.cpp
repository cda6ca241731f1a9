#include "app/port_probe.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "diag/diag_commands.h"
#include "link/frame_codec.h"
#include "link/phone_protocol.h"
#include "link/serial_port.h"

namespace app {
namespace {

constexpr std::uint32_t kAnswerWaitMs = 500;
constexpr std::uint32_t kWriteWaitMs = 500;

std::vector<std::uint8_t> Exchange(platform::ISerialDevice& port, const std::vector<std::uint8_t>& request,
                                   bool (*complete)(const std::vector<std::uint8_t>&))
{
    port.Purge(true, true);
    std::vector<std::uint8_t> answer;
    if (port.Write(request.data(), static_cast<std::uint32_t>(request.size()), kWriteWaitMs) != request.size()) {
        return answer;
    }
    // A few short reads, so that an answer that comes in pieces is whole.
    for (std::uint32_t waited = 0; waited < kAnswerWaitMs && !complete(answer); waited += 50) {
        std::uint8_t chunk[256];
        const std::uint32_t got = port.Read(chunk, sizeof chunk, 50);
        answer.insert(answer.end(), chunk, chunk + got);
    }
    return answer;
}

// A flag that ends something: leading flags open a frame in some modes.
bool HasFrame(const std::vector<std::uint8_t>& bytes)
{
    const auto start = std::find_if(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte != frame::kFlag; });
    return std::find(start, bytes.end(), frame::kFlag) != bytes.end();
}

bool HasOk(const std::vector<std::uint8_t>& bytes)
{
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()).find("OK") != std::string_view::npos;
}

}  // namespace

std::optional<platform::PortRole> ProbePort(platform::ISerialDevice& port)
{
    if (!port.Configure(CSerialPort::SettingsFor(0, 115200, 8, 0))) return std::nullopt;

    // Every DIAG mode answers the version request with a frame.
    Bytes payload;
    diag::BuildVersionRequest(payload);
    const Bytes request = FrameRequest(ProtocolMode::Diag, payload);
    const std::vector<std::uint8_t> reply = Exchange(port, request, HasFrame);
    // A port that echoes what it is sent (an AT port with echo on) has not
    // answered: only the first frame counts, and it must not be the request.
    // Modes that open their frames with a flag send one before it.
    const auto start = std::find_if(reply.begin(), reply.end(), [](std::uint8_t byte) { return byte != frame::kFlag; });
    const auto flag = std::find(start, reply.end(), frame::kFlag);
    if (flag != reply.end()) {
        const std::vector<std::uint8_t> escaped(start, flag + 1);
        std::vector<std::uint8_t> unescaped;
        frame::AppendUnescaped(escaped.data(), escaped.size() - 1, unescaped);
        if (escaped != request && unescaped.size() > 2 && frame::CheckCrc(unescaped.data(), unescaped.size())) {
            return platform::PortRole::Diag;
        }
    }

    // The leading carriage return ends whatever the DIAG request left in the
    // modem's command line, so that "AT" is a command of its own.
    const std::string at = "\rAT\r";
    if (HasOk(Exchange(port, std::vector<std::uint8_t>(at.begin(), at.end()), HasOk))) return platform::PortRole::Modem;
    return std::nullopt;
}

}  // namespace app
