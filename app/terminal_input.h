#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace app {

// Lines typed on standard input. At its end (or with no input at all, or
// once Close is called) the reader says so and every later read returns
// nothing at once.
class TerminalInput {
public:
    TerminalInput();
    ~TerminalInput();
    TerminalInput(const TerminalInput&) = delete;
    TerminalInput& operator=(const TerminalInput&) = delete;

    // No more input will be read; a read waiting for a line returns.
    void Close();
    // A whole line if one is there within `waitMs` (-1: until one is).
    std::optional<std::string> ReadLine(int waitMs);
    // Whether a terminal shows what is typed.
    bool Echoed() const { return m_echoed; }
    bool Ended();

private:
    const bool m_echoed;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_closed{false};
    std::mutex m_mutex;
    std::string m_buffer;
    bool m_ended = false;
};

// The signals that end the program, taken by one thread of their own so
// that no other thread is ever interrupted by them: Ctrl-C and SIGTERM are
// the close box, SIGHUP says that no one is watching any more.
class TerminalSignals {
public:
    // `onHangUp` and `onClose` run on the signals' thread. Constructed
    // before any other thread starts, so that every thread inherits the
    // blocked signals.
    explicit TerminalSignals(std::function<void()> onHangUp, std::function<void()> onClose = {});

    // Close requests (Ctrl-C, SIGTERM) since the last call.
    int TakeCloses() { return m_closes.exchange(0); }
    bool HungUp() const { return m_hangUp; }

private:
    sigset_t m_set;
    std::atomic<int> m_closes{0};
    std::atomic<bool> m_hangUp{false};
    std::jthread m_thread;
};

}  // namespace app
