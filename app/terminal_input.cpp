#include "app/terminal_input.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace app {

TerminalInput::TerminalInput() : m_echoed(::isatty(STDIN_FILENO) != 0)
{
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) m_wake[0] = m_wake[1] = -1;
}

TerminalInput::~TerminalInput()
{
    for (int fd : m_wake) {
        if (fd >= 0) ::close(fd);
    }
}

void TerminalInput::Close()
{
    m_closed = true;
    // A full pipe already wakes every reader.
    if (m_wake[1] >= 0) (void)!::write(m_wake[1], "x", 1);
}

std::optional<std::string> TerminalInput::ReadLine(int waitMs)
{
    std::lock_guard lock(m_mutex);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
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
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
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

bool TerminalInput::Ended()
{
    if (m_closed) return true;
    std::lock_guard lock(m_mutex);
    return m_ended && m_buffer.find('\n') == std::string::npos;
}

TerminalSignals::TerminalSignals(std::function<void()> onHangUp, std::function<void()> onClose)
{
    sigemptyset(&m_set);
    sigaddset(&m_set, SIGINT);
    sigaddset(&m_set, SIGTERM);
    sigaddset(&m_set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
    m_thread = std::jthread([this, onHangUp = std::move(onHangUp), onClose = std::move(onClose)](std::stop_token stop) {
        const timespec pause{0, 100'000'000};
        while (!stop.stop_requested()) {
            const int signal = ::sigtimedwait(&m_set, nullptr, &pause);
            if (signal == SIGHUP && !m_hangUp.exchange(true)) {
                onHangUp();
            } else if (signal > 0 && signal != SIGHUP) {
                ++m_closes;
                if (onClose) onClose();
            }
        }
    });
}

}  // namespace app
