#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/wire_fields.h"

namespace sim {

class SimModem;

// The device's normal software: DIAG requests and NV items on the
// diagnostic port, its plain-text switch on the same port and the AT
// commands of the modem port.
class NormalSoftware {
public:
    // Every request it answers; the names are those it records them under
    // and those its reply faults are keyed by.
    enum class Request {
        Esn, SoftwareVersion, Versions, Mode, Downloader, Switch, Spc, NvRead, NvWrite, ReadyCheck, DownloadCheck,
        VendorFlag, Autorun, Challenge, Answer, Subsystem, Unknown, TextSwitch, At, Count
    };
    static constexpr const char* kRequestNames[] = {
        "esn",    "swversion", "versions",  "mode",      "downloader", "5c",      "spc",   "nvread", "nvwrite", "subsys",
        "downloadcheck", "vendorflag", "autorun", "challenge", "answer", "subsystem", "unknown", "qcdmg", "at"};
    static constexpr const char* kSpc = "000000";

    explicit NormalSoftware(SimModem& device) : m_device(device) {}

    void HandleFrame(const Bytes& p, std::uint32_t now);
    // Answers the plain-text command at the head of `input`; false while its
    // line is not complete.
    bool TakeSwitchCommand(Bytes& input, std::uint32_t now);
    // Answers every complete AT command line in `input`.
    void TakeAtCommands(std::string& input, std::uint32_t now);
    // The software starts again after a reset: online, the SPC not given.
    void Restart();

    bool ChallengePassed() const { return m_challengePassed; }
    bool Offline() const { return m_offline; }
    std::uint8_t VendorFlag() const { return m_vendorFlag; }
    std::uint8_t Autorun() const { return m_autorun; }
    const std::vector<std::string>& AtCommands() const { return m_atCommands; }

private:
    static const char* Name(Request request) { return kRequestNames[static_cast<std::size_t>(request)]; }
    bool Reply(Request request, Bytes payload);
    void ReplyVersions(std::uint8_t code);
    void HandleNv(Request request, const Bytes& p);
    void HandleSubsystem(const Bytes& p, std::uint32_t now);

    SimModem& m_device;
    bool m_offline = false;
    bool m_spcAccepted = false;
    std::uint8_t m_vendorFlag = 0;
    std::uint8_t m_autorun = 1;
    Bytes m_challenge;
    bool m_challengePassed = false;
    std::vector<std::string> m_atCommands;
};

}  // namespace sim
