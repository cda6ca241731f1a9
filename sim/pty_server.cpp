#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace sim {
namespace {

constexpr std::uint32_t kLingerMs = 300;

// The drivers the device registers under: its modem (AT) port and its
// diagnostic port.
constexpr const char* kModemService = "Nollexusbmdm6k";
constexpr const char* kDiagService = "Nollexusbser6k";
constexpr const char* kModemInstance = "USB\\VID_FFF1&PID_0001&MI_02\\7&1F00A2&0&0002";
constexpr const char* kDiagInstance = "USB\\VID_FFF1&PID_0001&MI_00\\7&1F00A2&0&0000";

std::uint64_t MonotonicUs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// Backslashes and quotes inside a REGEDIT4 string are escaped.
std::string RegString(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return "\"" + out + "\"";
}

std::string ServiceKey(const char* service, const char* instance, bool present)
{
    char count[32];
    std::snprintf(count, sizeof count, "dword:%08x", present ? 1 : 0);
    std::string text = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + std::string(service) + "\\Enum]\r\n";
    text += "\"Count\"=" + std::string(count) + "\r\n";
    if (present) text += "\"0\"=" + RegString(instance) + "\r\n";
    return text + "\r\n";
}

std::string PortKey(const char* instance, int number)
{
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + std::string(instance) +
           "\\Device Parameters]\r\n\"PortName\"=\"COM" + std::to_string(number) + "\"\r\n\r\n";
}

}  // namespace

PtyServer::PtyServer(SimModem& modem, PtyServerOptions options) : m_modem(modem), m_options(std::move(options))
{
    m_modem.Connect(this);
}

PtyServer::~PtyServer()
{
    Shutdown();
    m_modem.Connect(nullptr);
}

std::uint32_t PtyServer::Now() const { return static_cast<std::uint32_t>((MonotonicUs() - m_startUs) / 1000); }

bool PtyServer::Start(std::string& error)
{
    m_startUs = MonotonicUs();
    if (!m_options.registryFile.empty()) ::setenv("MODEMSIM_REGISTRY", m_options.registryFile.c_str(), 1);
    Publish();
    if (m_modem.Present() && m_diag.master < 0) {
        error = "cannot create a terminal for the diagnostic port in " + m_options.portsDirectory;
        return false;
    }
    return true;
}

void PtyServer::Shutdown()
{
    const bool wasPublished = m_diag.master >= 0 || m_modemPort.master >= 0 || !m_leaving.empty();
    CloseTerminal(m_diag);
    CloseTerminal(m_modemPort);
    for (Terminal& terminal : m_leaving) CloseTerminal(terminal);
    m_leaving.clear();
    if (wasPublished) {
        WriteRegistry();
        RunHook();
    }
}

bool PtyServer::OpenTerminal(Terminal& terminal, int number)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) return false;
    char name[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return false;
    }
    // Raw both ways from the start, so nothing the device sends before the
    // host configures the port is echoed or edited.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0) {
        termios tio{};
        ::tcgetattr(slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        // Closing our end again makes the first host open see a fresh line;
        // the terminal lives as long as the master does.
        ::close(slave);
    }
    const std::string link = m_options.portsDirectory + "/com" + std::to_string(number);
    ::unlink(link.c_str());
    if (::symlink(name, link.c_str()) != 0) {
        ::close(master);
        return false;
    }
    terminal.master = master;
    terminal.number = number;
    terminal.link = link;
    terminal.output.clear();
    return true;
}

void PtyServer::CloseTerminal(Terminal& terminal)
{
    if (terminal.master < 0) return;
    // What the device sent before it left is delivered first.
    Flush(terminal, 0xFFFFFFFFu);
    ::unlink(terminal.link.c_str());
    ::close(terminal.master);
    terminal = Terminal{};
}

void PtyServer::Retire(Terminal& terminal)
{
    if (terminal.master < 0) return;
    ::unlink(terminal.link.c_str());
    terminal.closeAt = Now() + kLingerMs;
    m_leaving.push_back(std::move(terminal));
    terminal = Terminal{};
}

void PtyServer::Publish()
{
    m_changed = false;
    const bool present = m_modem.Present();
    const int diag = present ? m_modem.DiagPort() : -1;
    const int modem = present ? m_modem.ModemPort() : -1;
    if (m_diag.number != diag) Retire(m_diag);
    if (m_modemPort.number != modem) Retire(m_modemPort);
    if (diag >= 0 && m_diag.master < 0) OpenTerminal(m_diag, diag);
    if (modem >= 0 && m_modemPort.master < 0) OpenTerminal(m_modemPort, modem);
    WriteRegistry();
    RunHook();
    if (present) {
        std::printf("%7u ms  device on the bus in %s mode: diagnostic port COM%d", Now(), ModeName(m_modem.Mode()), diag);
        if (modem >= 0) std::printf(", modem port COM%d", modem);
        std::printf("\n");
    } else {
        std::printf("%7u ms  device left the bus%s\n", Now(), m_modem.EventPending() ? "" : " for good");
    }
    std::fflush(stdout);
}

void PtyServer::WriteRegistry()
{
    if (m_options.registryFile.empty()) return;
    const bool diag = m_diag.master >= 0;
    const bool modem = m_modemPort.master >= 0;
    std::string text = "REGEDIT4\r\n\r\n";
    text += ServiceKey(kModemService, kModemInstance, modem);
    text += ServiceKey(kDiagService, kDiagInstance, diag);
    if (modem) text += PortKey(kModemInstance, m_modemPort.number);
    if (diag) text += PortKey(kDiagInstance, m_diag.number);
    const std::string temporary = m_options.registryFile + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::rename(temporary.c_str(), m_options.registryFile.c_str());
}

void PtyServer::RunHook()
{
    if (m_options.hook.empty()) return;
    const int status = std::system(m_options.hook.c_str());
    if (status != 0) std::fprintf(stderr, "modemsim: hook \"%s\" exited with %d\n", m_options.hook.c_str(), status);
}

void PtyServer::Send(SimPort port, const Bytes& bytes, std::uint32_t delayMs)
{
    Terminal& terminal = port == SimPort::Diag ? m_diag : m_modemPort;
    if (terminal.master < 0) return;
    terminal.output.push_back({Now() + delayMs, bytes});
}

void PtyServer::BusChanged() { m_changed = true; }

void PtyServer::Flush(Terminal& terminal, std::uint32_t now)
{
    while (terminal.master >= 0 && !terminal.output.empty()) {
        auto& next = terminal.output.front();
        if (now != 0xFFFFFFFFu && static_cast<std::int32_t>(now - next.due) < 0) return;
        const ssize_t n = ::write(terminal.master, next.bytes.data(), next.bytes.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                if (now != 0xFFFFFFFFu) return;
                ::usleep(1000);
                continue;
            }
            terminal.output.clear();
            return;
        }
        next.bytes.erase(next.bytes.begin(), next.bytes.begin() + n);
        if (next.bytes.empty()) terminal.output.pop_front();
    }
}

std::string PtyServer::Describe(const ReceivedRequest& request)
{
    char head[64];
    std::snprintf(head, sizeof head, "%7u ms  %-10s %-13s", request.tick, ModeName(request.mode), request.name.c_str());
    std::string text = head;
    if (request.name == "at" || request.name == "qcdmg") {
        return text + std::string(request.payload.begin(), request.payload.end());
    }
    char byte[4];
    const std::size_t shown = std::min<std::size_t>(request.payload.size(), 24);
    for (std::size_t i = 0; i < shown; ++i) {
        std::snprintf(byte, sizeof byte, "%02X ", request.payload[i]);
        text += byte;
    }
    if (request.payload.size() > shown) text += "... (" + std::to_string(request.payload.size()) + " bytes)";
    return text;
}

void PtyServer::LogNewRequests()
{
    const auto& received = m_modem.Received();
    for (; m_logged < received.size(); ++m_logged) std::printf("%s\n", Describe(received[m_logged]).c_str());
    std::fflush(stdout);
}

void PtyServer::NoteStoreChanges()
{
    if (m_modem.StoreChanges() == m_storeChanges) return;
    m_storeChanges = m_modem.StoreChanges();
    if (m_options.storeChanged) m_options.storeChanged();
}

void PtyServer::Run(const volatile std::sig_atomic_t& stop)
{
    m_storeChanges = m_modem.StoreChanges();
    std::vector<std::uint8_t> buffer(256 * 1024);
    while (!stop) {
        const std::uint32_t now = Now();
        m_modem.Advance(now);
        NoteStoreChanges();
        if (m_changed) Publish();
        Flush(m_diag, now);
        Flush(m_modemPort, now);
        for (auto it = m_leaving.begin(); it != m_leaving.end();) {
            Flush(*it, now);
            if (static_cast<std::int32_t>(now - it->closeAt) < 0) {
                ++it;
                continue;
            }
            CloseTerminal(*it);
            it = m_leaving.erase(it);
        }

        pollfd fds[2];
        Terminal* owners[2];
        nfds_t count = 0;
        int timeout = 20;
        for (Terminal* terminal : {&m_diag, &m_modemPort}) {
            if (terminal->master < 0) continue;
            short events = POLLIN;
            if (!terminal->output.empty()) {
                const auto wait = static_cast<std::int32_t>(terminal->output.front().due - now);
                if (wait <= 0) events |= POLLOUT;
                else timeout = std::min(timeout, static_cast<int>(wait));
            }
            fds[count] = {terminal->master, events, 0};
            owners[count++] = terminal;
        }
        if (::poll(fds, count, timeout) <= 0) continue;
        for (nfds_t i = 0; i < count; ++i) {
            if (!(fds[i].revents & POLLIN)) {
                // A closed host end hangs the terminal up; do not spin on it.
                if (fds[i].revents & POLLHUP) ::usleep(2000);
                continue;
            }
            // A terminal hands over at most a few kilobytes per read; taking
            // all it holds before the device sees it saves a round through
            // poll and the device for every few kilobytes of a raw transfer.
            std::size_t filled = 0;
            while (filled < buffer.size()) {
                const ssize_t n = ::read(fds[i].fd, buffer.data() + filled, buffer.size() - filled);
                if (n <= 0) break;
                filled += static_cast<std::size_t>(n);
            }
            if (filled == 0) continue;
            m_modem.Receive(owners[i] == &m_diag ? SimPort::Diag : SimPort::Modem, buffer.data(), filled, Now());
            NoteStoreChanges();
            LogNewRequests();
            if (m_changed) break;
        }
    }
}

}  // namespace sim
