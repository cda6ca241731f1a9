// link-demo: the serial link end to end over real pseudo-terminals. A small
// responder plays a modem's diagnostic and modem ports; the host side sends
// framed requests and AT commands through CPhoneProtocol and CAtChannel, and
// every byte that crosses the wire is logged.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/at_channel.h"
#include "link/frame_codec.h"
#include "link/phone_protocol.h"
#include "platform/backends.h"
#include "platform/serial_posix.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kDiagPort = 20;
constexpr int kModemPort = 21;

std::mutex g_logMutex;

std::string Hex(const std::uint8_t* data, std::size_t length)
{
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        text += byte;
    }
    return text;
}

std::string Printable(const std::uint8_t* data, std::size_t length)
{
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        if (data[i] == '\r') text += "<CR>";
        else if (data[i] == '\n') text += "<LF>";
        else text += static_cast<char>(data[i]);
    }
    return text;
}

void Log(const std::string& line)
{
    std::lock_guard lock(g_logMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Lays out the command code followed by the bulk parameter bytes; accepts any
// reply but a refusal (code 0x03).
class PassThroughCodec : public IModeCodec {
public:
    void BuildPayload(const CPhoneProtocol& protocol, Bytes& payload) const override
    {
        payload.push_back(protocol.command);
        payload.insert(payload.end(), protocol.bulk, protocol.bulk + protocol.bulkLength);
    }
    bool ParseReply(CPhoneProtocol& protocol) const override
    {
        if (protocol.reply[0] != 0x03) return true;
        protocol.lastError = "the device refused the request";
        return false;
    }
};

// One pseudo-terminal whose device end the responder holds.
struct Terminal {
    int master = -1;
    std::string device;
    std::string link;

    bool Create(const std::filesystem::path& dir, int number)
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
        termios tio{};
        ::tcgetattr(master, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
        char name[128];
        if (::ptsname_r(master, name, sizeof name) != 0) return false;
        device = name;
        link = (dir / ("com" + std::to_string(number))).string();
        return ::symlink(device.c_str(), link.c_str()) == 0;
    }
    void Send(const Bytes& bytes) const
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<std::size_t>(n);
            else ::usleep(1000);
        }
    }
};

Bytes DeviceFrame(const Bytes& payload)
{
    Bytes withCrc = payload;
    withCrc.resize(payload.size() + 2);
    frame::AppendCrc(withCrc.data(), payload.size());
    Bytes out{frame::kFlag};
    frame::AppendEscaped(withCrc.data(), withCrc.size(), out);
    out.push_back(frame::kFlag);
    return out;
}

// Answers download frames on the diagnostic port (acknowledge, parameters,
// refusal of anything unknown; silence for command 0x0A) and AT commands on
// the modem port.
class Responder {
public:
    Responder(const Terminal& diag, const Terminal& modem) : m_diag(diag), m_modem(modem) {}

    void Run()
    {
        Bytes diagBytes;
        std::string atLine;
        std::uint8_t buffer[4096];
        while (!m_stop) {
            pollfd fds[2] = {{m_diag.master, POLLIN, 0}, {m_modem.master, POLLIN, 0}};
            if (::poll(fds, 2, 50) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(m_diag.master, buffer, sizeof buffer);
                if (n > 0) {
                    diagBytes.insert(diagBytes.end(), buffer, buffer + n);
                    HandleFrames(diagBytes);
                }
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::read(m_modem.master, buffer, sizeof buffer);
                for (ssize_t i = 0; i < n; ++i) {
                    atLine += static_cast<char>(buffer[i]);
                    if (buffer[i] == '\r') HandleCommand(atLine), atLine.clear();
                }
            }
        }
    }
    void Stop() { m_stop = true; }

private:
    void HandleFrames(Bytes& bytes)
    {
        // A frame runs from its leading flag to the next flag.
        for (;;) {
            if (bytes.size() < 2 || bytes[0] != frame::kFlag) {
                if (!bytes.empty() && bytes[0] != frame::kFlag) bytes.erase(bytes.begin());
                if (bytes.size() < 2) return;
                continue;
            }
            const auto end = std::find(bytes.begin() + 1, bytes.end(), frame::kFlag);
            if (end == bytes.end()) return;
            const Bytes wire(bytes.begin(), end + 1);
            bytes.erase(bytes.begin(), end + 1);
            Log("  diag  host -> device  " + Hex(wire.data(), wire.size()));
            Bytes payload;
            frame::AppendUnescaped(wire.data() + 1, wire.size() - 2, payload);
            if (!frame::CheckCrc(payload.data(), payload.size())) {
                Answer({0x03, 0x00, 0x01});
                continue;
            }
            switch (payload[0]) {
            case 0x06: Answer({0x02}); break;                                   // no operation
            case 0x07: Answer({0x08, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00}); break;  // parameters
            case 0x0F: Answer({0x02}); break;                                   // write
            case 0x0A: break;                                                   // silent
            default: Answer({0x03, 0x00, 0x06}); break;                         // unknown command
            }
        }
    }

    void Answer(const Bytes& payload)
    {
        const Bytes reply = DeviceFrame(payload);
        Log("  diag  device -> host  " + Hex(reply.data(), reply.size()));
        m_diag.Send(reply);
    }

    void HandleCommand(const std::string& line)
    {
        const Bytes command(line.begin(), line.end());
        Log("  modem host -> device  " + Printable(command.data(), command.size()));
        const std::string reply = line.rfind("AT+KCDRUN=", 0) == 0 ? "\r\nOK\r\n" : "\r\nERROR\r\n";
        const Bytes bytes(reply.begin(), reply.end());
        Log("  modem device -> host  " + Printable(bytes.data(), bytes.size()));
        m_modem.Send(bytes);
    }

    const Terminal& m_diag;
    const Terminal& m_modem;
    std::atomic<bool> m_stop{false};
};

bool Request(CPhoneProtocol& protocol, const char* what, std::uint8_t command, const Bytes& bulk,
             std::uint8_t attempts, std::uint32_t timeoutMs)
{
    protocol.ResetRequest();
    protocol.mode = ProtocolMode::Dmss;
    protocol.command = command;
    std::copy(bulk.begin(), bulk.end(), protocol.bulk);
    protocol.bulkLength = static_cast<std::uint32_t>(bulk.size());
    Log(std::string(what) + ":");
    const bool ok = protocol.Exchange(attempts, timeoutMs);
    if (ok) Log("  => reply code " + Hex(protocol.reply, 1));
    else Log("  => failed (code " + std::to_string(protocol.LastFailureCode()) + "): " + protocol.lastError);
    return ok;
}

bool Command(CAtChannel& channel, const std::string& command, bool expected)
{
    Log(command + ":");
    std::string line;
    const bool ok = channel.Execute(command, line);
    Log(ok ? "  => first reply line \"" + line + "\"" : "  => refused or no reply");
    return ok == expected;
}

}  // namespace

int main()
{
    char pattern[] = "/tmp/link-demo-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) {
        std::perror("link-demo: cannot create a ports folder");
        return 1;
    }
    Terminal diag;
    Terminal modem;
    if (!diag.Create(dir, kDiagPort) || !modem.Create(dir, kModemPort)) {
        std::perror("link-demo: cannot create pseudo-terminals");
        return 1;
    }
    Log(std::string("ports in ") + dir + ": COM20 -> " + diag.device + ", COM21 -> " + modem.device);

    platform::PosixSerialPorts ports(dir);
    platform::ScopedSerialPorts usePorts(ports);
    Responder responder(diag, modem);
    std::thread device([&] { responder.Run(); });

    PassThroughCodec codec;
    CPhoneProtocol protocol;
    protocol.failureLogPath = std::string(dir) + "/ByteLog.txt";
    protocol.SetModeCodec(ProtocolMode::Dmss, &codec);
    CAtChannel channel;
    bool ok = protocol.port.Open(kDiagPort, 115200, 8, 1) && channel.port.Open(kModemPort, 115200, 8, 1);
    channel.SetTimeout(1000);
    channel.SetAttempts(2);

    if (ok) {
        ok &= Request(protocol, "no operation", 0x06, {}, 1, 2000);
        ok &= Request(protocol, "parameter request", 0x07, {}, 1, 2000);
        ok &= Request(protocol, "write AA 7E 7D to 0x00800000", 0x0F,
                      {0x00, 0x80, 0x00, 0x00, 0x00, 0x03, 0xAA, 0x7E, 0x7D}, 3, 2000);
        ok &= !Request(protocol, "unknown command 0x55 (refused)", 0x55, {}, 1, 2000);
        ok &= !Request(protocol, "reset without reply (2 attempts of 300 ms)", 0x0A, {}, 2, 300);
        ok &= Command(channel, "AT+KCDRUN=E", true);
        ok &= Command(channel, "AT+UNKNOWN", false);
    } else {
        Log("cannot open the ports");
    }

    responder.Stop();
    device.join();
    protocol.port.Close();
    channel.port.Close();
    std::filesystem::remove_all(dir);
    Log(ok ? "link demo: every exchange behaved as expected" : "link demo: an exchange went wrong");
    return ok ? 0 : 1;
}
