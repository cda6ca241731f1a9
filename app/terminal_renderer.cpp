#include "app/terminal_renderer.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "flashing/box_title.h"
#include "platform/files.h"

namespace app {
namespace {

using namespace std::chrono_literals;

// The status line shows the last line of its text.
std::string StatusShown(const std::string& status)
{
    std::string_view text = status;
    while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    const std::size_t newline = text.rfind('\n');
    return TerminalText(newline == std::string_view::npos ? text : text.substr(newline + 1));
}

// Cuts a UTF-8 line to `columns` characters, so that no line wraps and the
// block can be found again to redraw it.
std::string Clip(const std::string& line, std::size_t columns)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
        if (++count > columns) return line.substr(0, i);
    }
    return line;
}

}  // namespace

void TerminalScreen::Header()
{
    std::lock_guard lock(m_mutex);
    std::string text = std::string(flashing::kBoxTitle) + "\n\n";
    for (const FixedText& fixed : FixedTexts()) {
        const bool red = m_terminal && fixed.kind == FixedText::Kind::Warning;
        text += red ? "\x1b[38;2;255;40;0m" + std::string(fixed.text) + "\x1b[0m\n" : std::string(fixed.text) + "\n";
    }
    Write(text + "\n");
}

bool TerminalScreen::Draw(const FormView& view, bool force)
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

std::chrono::milliseconds TerminalScreen::UntilNextDraw()
{
    std::lock_guard lock(m_mutex);
    const auto left = kDrawPeriod - (Steady::now() - m_lastDraw);
    return std::max(1ms, std::chrono::duration_cast<std::chrono::milliseconds>(left));
}

void TerminalScreen::Print(const std::string& text, bool open)
{
    std::lock_guard lock(m_mutex);
    Write(EraseBlock() + text + (open ? "" : "\n"));
    // The controls come back with the next drawing.
    m_blockStale = true;
}

void TerminalScreen::RunStarted()
{
    std::lock_guard lock(m_mutex);
    if (!m_runStart) m_runStart = m_clock.TickCount();
}

void TerminalScreen::Echoed()
{
    std::lock_guard lock(m_mutex);
    if (m_terminal && m_blockLines > 0) ++m_blockLines;
}

void TerminalScreen::Drop()
{
    std::lock_guard lock(m_mutex);
    if (m_dropped) return;
    m_dropped = true;
    platform::SilenceStandardStreams();
}

void TerminalScreen::Write(const std::string& text)
{
    // A screen that can no longer be written to (a closed pipe) must not
    // stop the run: what fails to show is dropped.
    if (m_dropped) return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string TerminalScreen::EraseBlock()
{
    if (m_blockLines == 0) return "";
    std::string out = "\x1b[" + std::to_string(m_blockLines) + "F\x1b[J";
    m_blockLines = 0;
    return out;
}

// The run log's entries that are new since the last drawing; a log that was
// replaced is shown whole.
std::string TerminalScreen::LogLines(const std::string& log)
{
    std::string fresh = log.compare(0, m_shownLog.size(), m_shownLog) == 0 ? log.substr(m_shownLog.size()) : log;
    m_shownLog = log;
    std::string out;
    std::size_t start = 0;
    while (start < fresh.size()) {
        std::size_t end = fresh.find('\n', start);
        if (end == std::string::npos) end = fresh.size();
        out += (m_terminal ? "" : "log: ") + TerminalText(std::string_view(fresh).substr(start, end - start)) + "\n";
        start = end + 1;
    }
    return out;
}

std::string TerminalScreen::Block(const FormView& view)
{
    winsize size{};
    const std::size_t width = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
    const std::size_t barWidth = 40;
    const auto filled = static_cast<std::size_t>(view.progress) * barWidth / 100;
    const std::vector<std::string> lines = {
        std::string(kPortCaption) + "  " + TerminalText(view.portField),
        std::string(kVersionCaption) + "  " + TerminalText(view.versionField),
        StatusShown(view.statusLine),
        std::string(kRatioCaption) + "     " + view.ratio + "  [" + std::string(filled, '#') +
            std::string(barWidth - filled, '.') + "]",
        m_runStart ? "  " + ProgressDetails(Pace(view)) : std::string(),
        view.startEnabled ? std::string("[ ") + kStartButton + " ]  Enter or u: start    q: quit"
                          : std::string("  ") + kStartButton + "    (not available)    q: quit",
    };
    std::string out;
    for (const std::string& line : lines) out += Clip(line, width - 1) + "\n";
    m_blockLines = lines.size();
    return out;
}

// The run's clock, and the rate of the image being written measured from
// the first report of it.
RunPace TerminalScreen::Pace(const FormView& view)
{
    const std::uint32_t now = m_clock.TickCount();
    RunPace pace;
    pace.elapsed = std::chrono::milliseconds(now - *m_runStart);
    pace.image = view.transferImage;
    pace.done = view.transferDone;
    pace.total = view.transferTotal;
    if (view.transferImage != m_rateImage || view.transferDone < m_rateFrom) {
        m_rateImage = view.transferImage;
        m_rateFrom = view.transferDone;
        m_rateSince = now;
    }
    const std::uint32_t since = now - m_rateSince;
    if (since >= 1000) pace.bytesPerSecond = static_cast<double>(view.transferDone - m_rateFrom) * 1000.0 / since;
    if (view.timeLeftMs) {
        const std::uint32_t passed = now - view.timeLeftTick;
        pace.left = std::chrono::milliseconds(*view.timeLeftMs > passed ? *view.timeLeftMs - passed : 0);
    }
    return pace;
}

std::string TerminalScreen::Changes(const FormView& view)
{
    std::string out;
    if (view.portField != m_drawn.portField) out += std::string(kPortCaption) + " " + TerminalText(view.portField) + "\n";
    if (view.versionField != m_drawn.versionField) {
        out += std::string(kVersionCaption) + " " + TerminalText(view.versionField) + "\n";
    }
    // A status line that shows the run log has just been printed as such.
    if (view.statusLine != m_drawn.statusLine && view.statusLine != view.runLog) {
        out += "status: " + StatusShown(view.statusLine) + "\n";
    }
    if (view.ratio != m_drawn.ratio) {
        out += std::string(kRatioCaption) + " " + view.ratio + "\n";
        if (m_runStart) out += PlainPace(Pace(view));
    }
    if (view.startEnabled != m_drawn.startEnabled || m_drawn.revision == 0) {
        out += std::string(kStartButton) + (view.startEnabled ? ": available\n" : ": not available\n");
    }
    return out;
}

}  // namespace app
