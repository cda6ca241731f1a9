#pragma once

#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sim/modem.h"

namespace sim {

struct PtyServerOptions {
    std::string portsDirectory;  // where the com<N> links appear
    std::string registryFile;    // REGEDIT4 file with the driver-service keys; empty for none
    std::string hook;            // shell command run after every bus change; empty for none
    // Called whenever the device's flash or NV items changed (see
    // SimModem::StoreChanges), before its reply leaves; empty for none.
    std::function<void()> storeChanged;
};

// Serves a simulated modem over pseudo-terminals: while the device is on the
// bus each of its ports is a terminal linked as com<N>, and the registry
// file names them the way the device's drivers register them. When the
// device leaves, the links, the registry entries and the terminals go.
class PtyServer final : private ISimLink {
public:
    PtyServer(SimModem& modem, PtyServerOptions options);
    ~PtyServer() override;

    // Publishes the device as it is now; false with a reason on failure.
    bool Start(std::string& error);
    // Serves until `stop` becomes true; the tick is milliseconds since Start.
    void Run(const volatile std::sig_atomic_t& stop);
    // Leaves the bus for good: links, registry entries and terminals go.
    void Shutdown();

    std::uint32_t Now() const;
    // A line for the log: what the device received, readably.
    static std::string Describe(const ReceivedRequest& request);

private:
    struct Terminal {
        int master = -1;
        int number = -1;
        std::string link;
        struct Pending {
            std::uint32_t due;
            Bytes bytes;
        };
        std::deque<Pending> output;
        std::uint32_t closeAt = 0;
    };

    void Send(SimPort port, const Bytes& bytes, std::uint32_t delayMs) override;
    void BusChanged() override;
    void Publish();
    bool OpenTerminal(Terminal& terminal, int number);
    void CloseTerminal(Terminal& terminal);
    // Unlinks a port at once but keeps its terminal a moment, so that the
    // host can still read what the device sent before it left.
    void Retire(Terminal& terminal);
    void WriteRegistry();
    void RunHook();
    void Flush(Terminal& terminal, std::uint32_t now);
    void LogNewRequests();
    void NoteStoreChanges();

    SimModem& m_modem;
    PtyServerOptions m_options;
    Terminal m_diag;
    Terminal m_modemPort;
    std::vector<Terminal> m_leaving;
    std::uint64_t m_startUs = 0;
    std::size_t m_logged = 0;
    std::uint64_t m_storeChanges = 0;
    bool m_changed = false;
};

}  // namespace sim
