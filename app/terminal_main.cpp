// upgrader: the upgrade tool in a terminal. It renders the main form (the
// instructions, line 1's port, version, status, ratio and progress, and the
// "UPDATE" action), asks the message boxes as prompts and ends after one
// run, with an exit status that says how the run ended.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/form_state.h"
#include "app/port_backend.h"
#include "app/startup.h"
#include "app/terminal_text.h"
#include "platform/backends.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/serial_posix.h"
#include "platform/usb_table.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// Progress and log output is redrawn at most this often.
constexpr auto kDrawPeriod = 100ms;

enum Status : int {
    kSucceeded = 0,
    kStartupFailed = 1,
    kUsage = 2,
    kNoRunEnded = 3,
    kDownloadFailed = 4,
    kMayStayInDownloadMode = 5,
};

const char kUsageText[] =
    "usage: upgrader [--yes] [--auto-start] [--time-scale F] [--usb-table FILE]\n"
    "                [--device VID:PID]... [--ports-dir DIR] [--registry FILE]\n"
    "Upgrades the modem's firmware with the firmware this program carries: wait\n"
    "until the device is found, then press Enter (or type u and Enter) for\n"
    "\"UPDATE\"; q and Enter, or Ctrl-C, closes the program. The program ends\n"
    "after one run.\n"
    "\n"
    "  --yes             answer every message box with its default (OK, Yes)\n"
    "  --auto-start      press \"UPDATE\" whenever it becomes available\n"
    "  --time-scale F    run every wait F times faster (demonstrations and tests;\n"
    "                    noted in the run log)\n"
    "  --usb-table FILE  the USB devices whose serial ports may be opened, and the\n"
    "                    role of each port (default /etc/upgrader/usb-interfaces,\n"
    "                    else 3e1f:* with every port asked which one it is)\n"
    "  --device VID:PID  one more USB device (hex ids); each of its ports is\n"
    "                    asked which one it is; may be given more than once\n"
    "  --ports-dir DIR   the simulated modem's folder of com<N> links (default\n"
    "                    $UPGRADER_PORTS_DIR, else <state>/ports)\n"
    "  --registry FILE   the simulated modem's REGEDIT4 file that names its ports\n"
    "                    (default $UPGRADER_REGISTRY_FILE, else <state>/registry.reg)\n"
    "  The ports are found through udev, unless one of the last two options or\n"
    "  their variables is given: then the simulated modem's ports are used.\n"
    "\n"
    "Exit status:\n"
    "  0  the upgrade succeeded\n"
    "  1  start-up failed: another copy runs, the working folder is unusable, or\n"
    "     the table of USB devices cannot be read or has a wrong line\n"
    "  2  usage error\n"
    "  3  no run ended: wrong model, or closed before a run\n"
    "  4  download failure; the device was reset in the mode it was in\n"
    "  5  failure that may leave the device in download mode or without its\n"
    "     restored NV items\n"
    "  After a failure once the first image was being written, the device may\n"
    "  not work until this tool has upgraded it again. An NV backup that was not\n"
    "  restored is never deleted: the run log names the file it is kept in.\n"
    "\n"
    "SIGTERM asks as closing does and, like Ctrl-C, ends a run only once it has\n"
    "ended; SIGHUP (the terminal closed) lets the run go on to its end unseen.\n";

struct Options {
    bool yes = false;
    bool autoStart = false;
    double timeScale = 0;  // 0: real time
    std::string portsDir;
    std::string registryFile;
    std::string usbTable;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> devices;
};

std::optional<Options> Parse(int argc, char** argv, bool& help)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            help = true;
            return options;
        }
        if (arg == "--yes") {
            options.yes = true;
            continue;
        }
        if (arg == "--auto-start") {
            options.autoStart = true;
            continue;
        }
        if (i + 1 >= argc) return std::nullopt;
        const char* value = argv[++i];
        if (arg == "--time-scale") {
            char* end = nullptr;
            options.timeScale = std::strtod(value, &end);
            if (*value == '\0' || *end != '\0' || !std::isfinite(options.timeScale) || options.timeScale <= 0) {
                return std::nullopt;
            }
        } else if (arg == "--ports-dir" && *value) {
            options.portsDir = value;
        } else if (arg == "--registry" && *value) {
            options.registryFile = value;
        } else if (arg == "--usb-table" && *value) {
            options.usbTable = value;
        } else if (arg == "--device") {
            std::uint16_t vendor = 0;
            std::uint16_t product = 0;
            if (!platform::ParseUsbId(value, vendor, product)) return std::nullopt;
            options.devices.emplace_back(vendor, product);
        } else {
            return std::nullopt;
        }
    }
    return options;
}

// The signals that end the program, taken by one thread of their own so
// that no other thread is ever interrupted by them: Ctrl-C and SIGTERM are
// the close box, SIGHUP says that no one is watching any more.
class Signals {
public:
    // `onHangUp` runs on the signals' thread.
    explicit Signals(std::function<void()> onHangUp)
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        sigaddset(&m_set, SIGHUP);
        // Blocked before any other thread starts, so every thread inherits it.
        pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
        m_thread = std::jthread([this, onHangUp = std::move(onHangUp)](std::stop_token stop) {
            const timespec pause{0, 100'000'000};
            while (!stop.stop_requested()) {
                const int signal = ::sigtimedwait(&m_set, nullptr, &pause);
                if (signal == SIGHUP && !m_hangUp.exchange(true)) onHangUp();
                else if (signal > 0 && signal != SIGHUP) ++m_closes;
            }
        });
    }

    // Close requests (Ctrl-C, SIGTERM) since the last call.
    int TakeCloses() { return m_closes.exchange(0); }
    bool HungUp() const { return m_hangUp; }

private:
    sigset_t m_set;
    std::atomic<int> m_closes{0};
    std::atomic<bool> m_hangUp{false};
    std::jthread m_thread;
};

// Lines typed on standard input. At its end (or with no input at all, or
// once Close is called) the reader says so and every later read returns
// nothing at once.
class Input {
public:
    Input()
    {
        if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) m_wake[0] = m_wake[1] = -1;
    }
    ~Input()
    {
        for (int fd : m_wake) {
            if (fd >= 0) ::close(fd);
        }
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // No more input will be read; a read waiting for a line returns.
    void Close()
    {
        m_closed = true;
        if (m_wake[1] >= 0) (void)!::write(m_wake[1], "x", 1);
    }

    // A whole line if one is there within `waitMs` (-1: until one is).
    std::optional<std::string> ReadLine(int waitMs)
    {
        std::lock_guard lock(m_mutex);
        const auto end = Steady::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            if (const auto newline = m_buffer.find('\n'); newline != std::string::npos) {
                std::string line = m_buffer.substr(0, newline);
                m_buffer.erase(0, newline + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            if (m_closed) m_ended = true;
            if (m_ended) return std::nullopt;
            int timeout = -1;
            if (waitMs >= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()).count();
                timeout = static_cast<int>(std::max<long long>(left, 0));
            }
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            const int ready = ::poll(fds, m_wake[0] >= 0 ? 2 : 1, timeout);
            if (ready < 0 && errno == EINTR) continue;
            if (m_closed) continue;
            if (ready == 0) return std::nullopt;
            const pollfd& fd = fds[0];
            if (ready < 0 || (fd.revents & POLLNVAL)) {
                m_ended = true;
                continue;
            }
            char bytes[256];
            const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                // A last line without its newline still counts.
                m_ended = true;
                if (!m_buffer.empty()) m_buffer += '\n';
                continue;
            }
            m_buffer.append(bytes, static_cast<std::size_t>(got));
        }
    }
    // Whether a terminal shows what is typed.
    bool Echoed() const { return m_echoed; }
    bool Ended()
    {
        if (m_closed) return true;
        std::lock_guard lock(m_mutex);
        return m_ended && m_buffer.find('\n') == std::string::npos;
    }

private:
    const bool m_echoed = ::isatty(STDIN_FILENO) != 0;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_closed{false};
    std::mutex m_mutex;
    std::string m_buffer;
    bool m_ended = false;
};

// Everything written to standard output. On a terminal line 1's controls
// stay at the bottom and are redrawn in place, with the run log and the
// boxes scrolling above them; otherwise each change is one plain line.
class Screen {
public:
    explicit Screen(bool terminal) : m_terminal(terminal) {}

    void Header()
    {
        std::lock_guard lock(m_mutex);
        std::string text = std::string(flashing::kBoxTitle) + "\n\n";
        for (const app::FixedText& fixed : app::FixedTexts()) {
            const bool red = m_terminal && fixed.kind == app::FixedText::Kind::Warning;
            text += red ? "\x1b[38;2;255;40;0m" + std::string(fixed.text) + "\x1b[0m\n" : std::string(fixed.text) + "\n";
        }
        Write(text + "\n");
    }

    // Shows what changed since the last drawing; false when the last one is
    // too recent and this one must wait, unless forced.
    bool Draw(const app::FormView& view, bool force)
    {
        std::lock_guard lock(m_mutex);
        const auto now = Steady::now();
        // While a run goes on its clock moves even when nothing else does.
        const bool clockDue = m_terminal && m_runStart && now - m_lastDraw >= 1s;
        if (view.revision == m_drawn.revision && !m_blockStale && !clockDue) return true;
        if (!force && now - m_lastDraw < kDrawPeriod) return false;
        m_lastDraw = now;
        std::string out = EraseBlock() + LogLines(view.runLog);
        if (m_terminal) {
            out += Block(view);
        } else {
            out += Changes(view);
        }
        m_drawn = view;
        m_blockStale = false;
        Write(out);
        return true;
    }

    std::chrono::milliseconds UntilNextDraw()
    {
        std::lock_guard lock(m_mutex);
        const auto left = kDrawPeriod - (Steady::now() - m_lastDraw);
        return std::max(1ms, std::chrono::duration_cast<std::chrono::milliseconds>(left));
    }

    // Scrolling text (boxes, notes); `open` leaves the cursor after it for
    // an answer.
    void Print(const std::string& text, bool open = false)
    {
        std::lock_guard lock(m_mutex);
        Write(EraseBlock() + text + (open ? "" : "\n"));
        // The controls come back with the next drawing.
        m_blockStale = true;
    }

    // "UPDATE" was pressed: the run's clock starts.
    void RunStarted()
    {
        std::lock_guard lock(m_mutex);
        if (!m_runStart) m_runStart = Steady::now();
    }

    // A typed line moved the cursor one line down, below the controls.
    void Echoed()
    {
        std::lock_guard lock(m_mutex);
        if (m_terminal && m_blockLines > 0) ++m_blockLines;
    }

    // The terminal is gone: from now on nothing is shown, and nothing
    // written to it can fail or block.
    void Drop()
    {
        std::lock_guard lock(m_mutex);
        if (m_dropped) return;
        m_dropped = true;
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0) return;
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, fd);
        ::close(null);
    }

private:
    void Write(const std::string& text)
    {
        if (m_dropped) return;
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    std::string EraseBlock()
    {
        if (m_blockLines == 0) return "";
        std::string out = "\x1b[" + std::to_string(m_blockLines) + "F\x1b[J";
        m_blockLines = 0;
        return out;
    }

    // The run log's entries that are new since the last drawing; a log that
    // was replaced is shown whole.
    std::string LogLines(const std::string& log)
    {
        std::string fresh = log.compare(0, m_shownLog.size(), m_shownLog) == 0 ? log.substr(m_shownLog.size()) : log;
        m_shownLog = log;
        std::string out;
        std::size_t start = 0;
        while (start < fresh.size()) {
            std::size_t end = fresh.find('\n', start);
            if (end == std::string::npos) end = fresh.size();
            out += (m_terminal ? "" : "log: ") + app::TerminalText(std::string_view(fresh).substr(start, end - start)) + "\n";
            start = end + 1;
        }
        return out;
    }

    // The status line shows the last line of its text.
    static std::string StatusShown(const std::string& status)
    {
        std::string_view text = status;
        while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        const std::size_t newline = text.rfind('\n');
        return app::TerminalText(newline == std::string_view::npos ? text : text.substr(newline + 1));
    }

    std::string Block(const app::FormView& view)
    {
        winsize size{};
        const std::size_t width = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
        const std::size_t barWidth = 40;
        const auto filled = static_cast<std::size_t>(view.progress) * barWidth / 100;
        const std::vector<std::string> lines = {
            std::string(app::kPortCaption) + "  " + app::TerminalText(view.portField),
            std::string(app::kVersionCaption) + "  " + app::TerminalText(view.versionField),
            StatusShown(view.statusLine),
            std::string(app::kRatioCaption) + "     " + view.ratio + "  [" + std::string(filled, '#') +
                std::string(barWidth - filled, '.') + "]",
            m_runStart ? "  " + app::ProgressDetails(Pace(view)) : std::string(),
            view.startEnabled ? std::string("[ ") + app::kStartButton + " ]  Enter or u: start    q: quit"
                              : std::string("  ") + app::kStartButton + "    (not available)    q: quit",
        };
        std::string out;
        for (const std::string& line : lines) out += Clip(line, width - 1) + "\n";
        m_blockLines = lines.size();
        return out;
    }

    // The run's clock, and the rate of the image being written measured
    // from the first report of it.
    app::RunPace Pace(const app::FormView& view)
    {
        const auto now = Steady::now();
        app::RunPace pace;
        pace.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - *m_runStart);
        pace.percent = view.progress;
        pace.image = view.transferImage;
        pace.done = view.transferDone;
        pace.total = view.transferTotal;
        if (view.transferImage != m_rateImage || view.transferDone < m_rateFrom) {
            m_rateImage = view.transferImage;
            m_rateFrom = view.transferDone;
            m_rateSince = now;
        }
        const double seconds = std::chrono::duration<double>(now - m_rateSince).count();
        if (seconds >= 1.0) pace.bytesPerSecond = static_cast<double>(view.transferDone - m_rateFrom) / seconds;
        return pace;
    }

    // Cuts a UTF-8 line to `columns` characters, so that no line wraps and
    // the block can be found again to redraw it.
    static std::string Clip(const std::string& line, std::size_t columns)
    {
        std::size_t count = 0;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
            if (++count > columns) return line.substr(0, i);
        }
        return line;
    }

    std::string Changes(const app::FormView& view)
    {
        std::string out;
        if (view.portField != m_drawn.portField) out += std::string(app::kPortCaption) + " " + app::TerminalText(view.portField) + "\n";
        if (view.versionField != m_drawn.versionField) {
            out += std::string(app::kVersionCaption) + " " + app::TerminalText(view.versionField) + "\n";
        }
        // A status line that shows the run log has just been printed as such.
        if (view.statusLine != m_drawn.statusLine && view.statusLine != view.runLog) {
            out += "status: " + StatusShown(view.statusLine) + "\n";
        }
        if (view.ratio != m_drawn.ratio) out += std::string(app::kRatioCaption) + " " + view.ratio + "\n";
        if (view.startEnabled != m_drawn.startEnabled || m_drawn.revision == 0) {
            out += std::string(app::kStartButton) + (view.startEnabled ? ": available\n" : ": not available\n");
        }
        return out;
    }

    std::mutex m_mutex;
    const bool m_terminal;
    bool m_dropped = false;
    app::FormView m_drawn;
    std::string m_shownLog;
    std::size_t m_blockLines = 0;
    bool m_blockStale = false;
    Steady::time_point m_lastDraw{};
    std::optional<Steady::time_point> m_runStart;
    std::string m_rateImage;
    std::uint64_t m_rateFrom = 0;
    Steady::time_point m_rateSince{};
};

// Message boxes as prompts. A box from another thread waits until the
// user-interface loop asks it, so that prompts and the form never
// interleave; once the loop has stopped serving, boxes are asked on their
// own thread.
class TerminalBoxes final : public platform::IMessageBoxes {
public:
    TerminalBoxes(Screen& screen, Input& input, bool yes)
        : m_screen(screen), m_input(input), m_yes(yes), m_loopThread(std::this_thread::get_id())
    {
    }

    platform::BoxAnswer Show(const std::string& text, const std::string& title, platform::BoxButtons buttons,
                             platform::BoxIcon) override
    {
        std::unique_lock lock(m_mutex);
        if (std::this_thread::get_id() == m_loopThread || !m_serving) {
            lock.unlock();
            return Ask({text, title, buttons});
        }
        Pending pending{{text, title, buttons}, {}};
        m_pending.push_back(&pending);
        m_answered.wait(lock, [&] { return pending.answer.has_value(); });
        return *pending.answer;
    }

    // On the loop's thread: whether a box is waiting.
    bool Waiting()
    {
        std::lock_guard lock(m_mutex);
        return !m_pending.empty();
    }

    // On the loop's thread: asks every waiting box.
    void Serve()
    {
        for (;;) {
            Pending* pending = nullptr;
            {
                std::lock_guard lock(m_mutex);
                if (m_pending.empty()) return;
                pending = m_pending.front();
            }
            const platform::BoxAnswer answer = Ask(pending->box);
            {
                std::lock_guard lock(m_mutex);
                m_pending.pop_front();
            }
            Answer(*pending, answer);
        }
    }

    // The loop ends: boxes still waiting are asked now, later ones on the
    // thread that shows them.
    void StopServing()
    {
        std::deque<Pending*> left;
        {
            std::lock_guard lock(m_mutex);
            m_serving = false;
            left.swap(m_pending);
        }
        for (Pending* pending : left) Answer(*pending, Ask(pending->box));
    }

private:
    struct Box {
        std::string text;
        std::string title;
        platform::BoxButtons buttons;
    };
    struct Pending {
        Box box;
        std::optional<platform::BoxAnswer> answer;
    };

    void Answer(Pending& pending, platform::BoxAnswer answer)
    {
        {
            std::lock_guard lock(m_mutex);
            pending.answer = answer;
        }
        m_answered.notify_all();
    }

    platform::BoxAnswer Ask(const Box& box)
    {
        using platform::BoxAnswer;
        using platform::BoxButtons;
        std::lock_guard asking(m_asking);
        const std::string shown = "[" + app::TerminalText(box.title) + "] " + app::TerminalText(box.text);
        const BoxAnswer fallback = box.buttons == BoxButtons::YesNo ? BoxAnswer::Yes : BoxAnswer::Ok;
        const char* fallbackName = fallback == BoxAnswer::Yes ? "Yes" : "OK";
        if (m_yes || m_input.Ended()) {
            m_screen.Print(shown + "  -> " + fallbackName);
            return fallback;
        }
        const char* prompt = box.buttons == BoxButtons::YesNo      ? "  y: Yes, n: No > "
                             : box.buttons == BoxButtons::OkCancel ? "  Enter: OK, c: Cancel > "
                                                                   : "  Enter: OK > ";
        for (;;) {
            m_screen.Print(shown + "\n" + prompt, true);
            const std::optional<std::string> line = m_input.ReadLine(-1);
            if (!line) {
                m_screen.Print(std::string("\n  (no more input) -> ") + fallbackName);
                return fallback;
            }
            // Input that no terminal echoed completes the prompt's line.
            if (!m_input.Echoed()) m_screen.Print(app::TerminalText(*line));
            if (box.buttons == BoxButtons::Ok) return BoxAnswer::Ok;
            if (box.buttons == BoxButtons::OkCancel) return *line == "c" || *line == "C" ? BoxAnswer::Cancel : BoxAnswer::Ok;
            if (*line == "y" || *line == "Y" || *line == "yes") return BoxAnswer::Yes;
            if (*line == "n" || *line == "N" || *line == "no") return BoxAnswer::No;
        }
    }

    Screen& m_screen;
    Input& m_input;
    const bool m_yes;
    const std::thread::id m_loopThread;
    std::mutex m_mutex;
    std::mutex m_asking;
    std::condition_variable m_answered;
    std::deque<Pending*> m_pending;
    bool m_serving = true;
};

std::string Meaning(int status, bool partlyWritten)
{
    std::string meaning;
    switch (status) {
    case kSucceeded: return "the upgrade succeeded";
    case kStartupFailed: return "start-up failed";
    case kDownloadFailed: meaning = "download failure, the device was reset"; break;
    case kMayStayInDownloadMode: meaning = "failure that may leave the device in download mode"; break;
    default: return "no run ended";
    }
    if (partlyWritten) {
        meaning += "; its flash was partly written, so it may not work until this tool has upgraded it again (the run "
                   "log names its kept NV backup)";
    }
    return meaning;
}

int Run(const Options& options)
{
    // A prompt that waits for an answer returns at once when no one is
    // left to give it.
    Input input;
    Signals signals([&input] { input.Close(); });
    std::unique_ptr<platform::ScaledClock> clock;
    if (options.timeScale > 0) clock = std::make_unique<platform::ScaledClock>(options.timeScale);
    std::optional<platform::ScopedClock> scopedClock;
    if (clock) scopedClock.emplace(*clock);
    // The front end's own ports and registry, so that what they find wrong
    // reaches the run log.
    app::PortBackend backend;
    std::string backendError;
    if (!backend.Install({options.portsDir, options.registryFile, options.usbTable, options.devices}, backendError)) {
        std::fprintf(stderr, "upgrader: %s\n", backendError.c_str());
        std::fprintf(stderr, "upgrader: exit status 1: %s\n", Meaning(kStartupFailed, false).c_str());
        return kStartupFailed;
    }

    const char* term = std::getenv("TERM");
    Screen screen(::isatty(STDOUT_FILENO) && !(term && std::strcmp(term, "dumb") == 0));
    TerminalBoxes boxes(screen, input, options.yes);
    platform::ScopedMessageBoxes scopedBoxes(boxes);

    CVadodIVODAvuzUzovDoc document;
    app::FormState form(document);
    app::Application application(document, form, backend.Replug());
    platform::ScopedProcess scopedProcess(application);

    screen.Header();
    const auto toRunLog = [&application](const std::string& text) {
        application.Control().Report().AppendLineText(0, text, true);
    };
    toRunLog(backend.Description());
    backend.OnNote(toRunLog);
    if (clock) {
        char note[96];
        std::snprintf(note, sizeof note, "Time scale %g: every wait runs %g times faster than written.", options.timeScale,
                      options.timeScale);
        application.Control().Report().AppendLineText(0, note, true);
    }
    if (application.Start() != app::StartUp::Running) {
        screen.Print(std::string("upgrader: exit status 1: ") + Meaning(kStartupFailed, false));
        return kStartupFailed;
    }

    bool closing = false;
    bool hungUp = false;
    bool wasEnabled = false;
    app::FormView view = form.View();
    bool drawn = screen.Draw(view, true);
    for (;;) {
        view = form.WaitForChange(view.revision, drawn ? kDrawPeriod : screen.UntilNextDraw());
        // What the run logged before a box is shown before it.
        const bool boxWaiting = boxes.Waiting();
        drawn = screen.Draw(view, boxWaiting);
        if (boxWaiting) boxes.Serve();

        if (const auto line = input.ReadLine(0)) {
            if (input.Echoed()) screen.Echoed();
            if (*line == "q" || *line == "Q") form.PostClose();
            else if ((line->empty() || *line == "u" || *line == "U") && form.View().startEnabled) {
                screen.RunStarted();
                application.PressStart();
            }
        }
        // Closing the terminal leaves every box to its default and a run to
        // its end; the program then goes as if its window had been closed.
        if (signals.HungUp() && !hungUp) {
            hungUp = true;
            screen.Drop();
            form.PostClose();
        }
        if (signals.TakeCloses() > 0) form.PostClose();
        const bool enabled = form.View().startEnabled;
        if (options.autoStart && enabled && !wasEnabled && !closing) {
            screen.Print(std::string(app::kStartButton) + ": pressed (--auto-start)");
            screen.RunStarted();
            application.PressStart();
        }
        wasEnabled = enabled;

        if (form.TakeCloseRequest()) {
            if (application.ConfirmQuit()) {
                if (!closing && application.Control().AnyLineRunning()) {
                    screen.Print("upgrader: closing once line 1's run has ended");
                }
                closing = true;
            }
            form.CloseHandled();
        }
        // A run cannot be cut short safely: the window closes once it ends.
        if (closing && !application.Control().AnyLineRunning()) break;
    }

    form.MarkClosing();
    boxes.StopServing();
    application.Quit();
    screen.Draw(form.View(), true);

    const std::optional<RunEnd> finish = application.LastFinish();
    const int status = finish ? static_cast<int>(finish->code) : kNoRunEnded;
    screen.Print("upgrader: exit status " + std::to_string(status) + ": " +
                 Meaning(status, finish && finish->partlyWritten));
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    bool help = false;
    const std::optional<Options> options = Parse(argc, argv, help);
    if (help) {
        std::fputs(kUsageText, stdout);
        return 0;
    }
    if (!options) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    // A closed output pipe must not end the program in the middle of a run,
    // nor a file-size limit in the middle of a write: that write fails and
    // says so instead.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    return Run(*options);
}
