#include "sim/modem.h"

#include <algorithm>
#include <cctype>

#include "link/frame_codec.h"

namespace sim {
namespace {

constexpr std::uint8_t kFlag = 0x7E;
constexpr std::size_t kMaxUnframedInput = 64 * 1024;

bool StartsWithAt(const Bytes& input)
{
    return input.size() >= 2 && std::toupper(input[0]) == 'A' && std::toupper(input[1]) == 'T';
}

}  // namespace

const char* ModeName(SimMode mode)
{
    switch (mode) {
    case SimMode::Normal: return "normal";
    case SimMode::Downloader: return "downloader";
    case SimMode::Programmer: return "programmer";
    }
    return "?";
}

SimModem::SimModem(ModemConfig config)
    : m_config(std::move(config)),
      m_faults(KnownRequests()),
      m_nv(m_config.nvSerial),
      m_diagPort(m_config.diagPort),
      m_modemPort(m_config.modemPort)
{
    SwitchOn();
}

void SimModem::SwitchOn()
{
    m_mode = m_config.startMode.value_or(BootMode());
    if (m_mode == SimMode::Programmer) m_programmer.Start();
}

const std::set<std::string>& SimModem::KnownRequests()
{
    static const std::set<std::string> names = [] {
        std::set<std::string> all(std::begin(NormalSoftware::kRequestNames), std::end(NormalSoftware::kRequestNames));
        all.insert(std::begin(BootDownloader::kRequestNames), std::end(BootDownloader::kRequestNames));
        all.insert(std::begin(FlashProgrammer::kRequestNames), std::end(FlashProgrammer::kRequestNames));
        return all;
    }();
    return names;
}

std::vector<std::string> SimModem::RequestNames() const
{
    std::vector<std::string> names;
    for (const auto& request : m_received) names.push_back(request.name);
    return names;
}

void SimModem::Record(std::uint32_t now, const std::string& name, const Bytes& payload)
{
    m_received.push_back({now, m_mode, name, payload});
}

void SimModem::Receive(SimPort port, const std::uint8_t* data, std::size_t length, std::uint32_t now)
{
    Advance(now);
    if (!m_present) return;
    if (port == SimPort::Diag) {
        m_diagInput.insert(m_diagInput.end(), data, data + length);
        HandleDiagBytes(now);
    } else if (m_mode == SimMode::Normal) {
        m_modemInput.append(reinterpret_cast<const char*>(data), length);
        m_normal.TakeAtCommands(m_modemInput, now);
    }
}

void SimModem::Advance(std::uint32_t now)
{
    if (!m_returnPending || static_cast<std::int32_t>(now - m_returnAt) < 0) return;
    m_returnPending = false;
    m_present = true;
    if (m_returnMode == SimMode::Normal) {
        if (m_faults.swapped && m_mode == SimMode::Programmer) {
            m_config.esn = ~m_config.esn;
            m_config.nvSerial = ~m_config.nvSerial;
            m_nv = NvStore(m_config.nvSerial);
            StoreChanged();
        }
        m_diagPort += m_config.renumberStep;
        m_modemPort += m_config.renumberStep;
        m_normal.Restart();
    }
    m_mode = m_returnMode;
    ++m_generation;
    if (m_link) m_link->BusChanged();
}

void SimModem::PullOut(std::uint32_t now, bool forGood)
{
    if (!m_present) return;
    Reboot(now);
    if (forGood) m_returnPending = false;
}

void SimModem::LeaveBus(SimMode nextMode, std::uint32_t delayMs, std::uint32_t now)
{
    m_present = false;
    m_diagInput.clear();
    m_modemInput.clear();
    m_programmer.StopRaw();
    m_returnMode = nextMode;
    m_returnAt = now + delayMs;
    m_returnPending = !m_faults.lost && !(m_faults.neverReturn && m_mode == SimMode::Programmer);
    ++m_generation;
    if (m_link) m_link->BusChanged();
}

void SimModem::StartProgrammer()
{
    // The programmer takes over the same port.
    m_mode = SimMode::Programmer;
    m_programmer.Start();
}

void SimModem::HandleDiagBytes(std::uint32_t now)
{
    while (m_present && !m_diagInput.empty()) {
        if (m_mode == SimMode::Programmer && m_programmer.TakeRawData(m_diagInput, now)) continue;
        if (m_mode == SimMode::Normal && StartsWithAt(m_diagInput)) {
            if (!m_normal.TakeSwitchCommand(m_diagInput, now)) return;
            continue;
        }
        const auto flag = std::find(m_diagInput.begin(), m_diagInput.end(), kFlag);
        if (flag == m_diagInput.end()) {
            if (m_diagInput.size() > kMaxUnframedInput) m_diagInput.clear();
            return;
        }
        const auto escapedLength = static_cast<std::size_t>(flag - m_diagInput.begin());
        Bytes& payload = m_request;
        payload.clear();
        frame::AppendUnescaped(m_diagInput.data(), escapedLength, payload);
        m_diagInput.erase(m_diagInput.begin(), flag + 1);
        if (escapedLength == 0) continue;  // a leading flag, or two flags in a row
        if (!frame::CheckCrc(payload.data(), payload.size())) {
            Record(now, "damaged", payload);
            continue;
        }
        payload.resize(payload.size() - 2);
        if (!payload.empty()) HandleFrame(payload, now);
    }
}

void SimModem::HandleFrame(const Bytes& payload, std::uint32_t now)
{
    switch (m_mode) {
    case SimMode::Normal: m_normal.HandleFrame(payload, now); break;
    case SimMode::Downloader: m_downloader.HandleFrame(payload, now); break;
    case SimMode::Programmer: m_programmer.HandleFrame(payload, now); break;
    }
}

namespace {

std::size_t EscapedSize(std::uint8_t byte) { return byte == frame::kFlag || byte == frame::kEscape ? 2 : 1; }

}  // namespace

std::array<std::uint8_t, 2> SimModem::FrameCrc(const Bytes& payload, bool damage)
{
    const std::uint16_t crc = frame::Crc16(payload.data(), payload.size());
    return {static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>((crc >> 8) ^ (damage ? 0x5A : 0))};
}

void SimModem::EncodeFrame(const Bytes& payload, bool damage, Bytes& out) const
{
    const std::array<std::uint8_t, 2> crc = FrameCrc(payload, damage);
    out.reserve(out.size() + FramedSize(payload, crc));
    // DIAG replies start with their code; download replies with a flag.
    if (m_mode != SimMode::Normal) out.push_back(kFlag);
    frame::AppendEscaped(payload.data(), payload.size(), out);
    frame::AppendEscaped(crc.data(), crc.size(), out);
    out.push_back(kFlag);
}

std::size_t SimModem::FramedSize(const Bytes& payload, const std::array<std::uint8_t, 2>& crc) const
{
    std::size_t size = (m_mode != SimMode::Normal ? 1 : 0) + EscapedSize(crc[0]) + EscapedSize(crc[1]) + 1;
    for (const std::uint8_t byte : payload) size += EscapedSize(byte);
    return size;
}

bool SimModem::Reply(const std::string& name, Bytes payload)
{
    std::uint32_t delay = m_config.replyDelayMs;
    bool damage = false;
    bool twice = false;
    bool acted = true;
    if (auto rule = m_faults.Take(name)) {
        switch (rule->fault) {
        case ReplyFault::Silent: return false;
        case ReplyFault::Late: delay = rule->value; break;
        case ReplyFault::BadCrc: damage = true; break;
        case ReplyFault::Double: twice = true; break;
        case ReplyFault::Nak:
            payload = {BootDownloader::kNak, static_cast<std::uint8_t>(rule->value >> 8), static_cast<std::uint8_t>(rule->value)};
            acted = false;
            break;
        case ReplyFault::DiagError:
            payload.insert(payload.begin(), static_cast<std::uint8_t>(rule->value));
            acted = false;
            break;
        case ReplyFault::StreamError:
            payload = {FlashProgrammer::kError};
            PutLe(payload, rule->value, 4);
            acted = false;
            break;
        case ReplyFault::Code:
            payload = {static_cast<std::uint8_t>(rule->value)};
            acted = false;
            break;
        case ReplyFault::LowerCase: break;
        }
    }
    m_frame.clear();
    EncodeFrame(payload, damage, m_frame);
    // Two frames in one burst, as a single driver read would see them.
    if (twice) EncodeFrame(payload, damage, m_frame);
    m_link->Send(SimPort::Diag, m_frame, delay);
    return acted;
}

void SimModem::ReplyText(SimPort port, std::string text, const std::optional<ReplyRule>& rule)
{
    if (rule && rule->fault == ReplyFault::LowerCase) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    }
    m_link->Send(port, Bytes(text.begin(), text.end()), rule && rule->fault == ReplyFault::Late ? rule->value : m_config.replyDelayMs);
}

}  // namespace sim
