#include "sim/modem.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "link/frame_codec.h"
#include "link/md5.h"

namespace sim {
namespace {

constexpr std::uint8_t kFlag = 0x7E;
constexpr std::size_t kMaxUnframedInput = 64 * 1024;
constexpr std::uint32_t kChecksumBlock = 0x20000;
constexpr std::uint32_t kMaxSegment = 0xA00000;
constexpr std::uint32_t kReportStep = 0x20000;
constexpr std::size_t kVersionsMinRawLength = 291;
// The NAND that all images share.
constexpr std::uint64_t kFlashSize = 0x8000000;
const char kHostMagic[] = "QCOM fast download protocol host";
const char kTargetMagic[] = "QCOM fast download protocol targ";

std::uint32_t Le32(const Bytes& p, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(at + i < p.size() ? p[at + i] : 0) << (8 * i);
    return value;
}

std::uint32_t Be32(const Bytes& p, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value << 8 | (at + i < p.size() ? p[at + i] : 0);
    return value;
}

std::uint16_t Be16(const Bytes& p, std::size_t at)
{
    return static_cast<std::uint16_t>((at < p.size() ? p[at] : 0) << 8 | (at + 1 < p.size() ? p[at + 1] : 0));
}

void PutLe(Bytes& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutText(Bytes& out, const std::string& text, std::size_t width)
{
    for (std::size_t i = 0; i < width; ++i) out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
}

bool StartsWithAt(const Bytes& input)
{
    return input.size() >= 2 && std::toupper(input[0]) == 'A' && std::toupper(input[1]) == 'T';
}

// Bytes the images hold once image `type` reaches `end`.
std::uint64_t FlashUsedAfter(const std::map<std::uint8_t, FlashImage>& images, std::uint8_t type, std::uint64_t end)
{
    std::uint64_t used = 0;
    for (const auto& [key, image] : images) used += key == type ? std::max<std::uint64_t>(image.data.size(), end) : image.data.size();
    return used;
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
    : m_config(std::move(config)), m_nv(m_config.nvSerial), m_diagPort(m_config.diagPort), m_modemPort(m_config.modemPort)
{
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
        HandleModemBytes(now);
    }
}

void SimModem::Advance(std::uint32_t now)
{
    if (!m_returnPending || static_cast<std::int32_t>(now - m_returnAt) < 0) return;
    m_returnPending = false;
    m_present = true;
    if (m_returnMode == SimMode::Normal) {
        m_diagPort += m_config.renumberStep;
        m_modemPort += m_config.renumberStep;
        m_offline = false;
        m_spcAccepted = false;
        m_greeted = false;
        m_openType = -1;
    }
    m_mode = m_returnMode;
    ++m_generation;
    if (m_link) m_link->BusChanged();
}

void SimModem::PullOut(std::uint32_t now, bool forGood)
{
    if (!m_present) return;
    LeaveBus(SimMode::Normal, m_config.returnDelayMs, now);
    if (forGood) m_returnPending = false;
}

void SimModem::LeaveBus(SimMode nextMode, std::uint32_t delayMs, std::uint32_t now)
{
    m_present = false;
    m_diagInput.clear();
    m_modemInput.clear();
    m_raw = RawState::None;
    m_returnMode = nextMode;
    m_returnAt = now + delayMs;
    m_returnPending = !m_faults.lost && !(m_faults.neverReturn && m_mode == SimMode::Programmer);
    ++m_generation;
    if (m_link) m_link->BusChanged();
}

void SimModem::HandleDiagBytes(std::uint32_t now)
{
    while (m_present) {
        if (m_raw != RawState::None) {
            if (m_diagInput.empty()) return;
            // A programmer that waited in vain for the rest of its raw data
            // drops what it has and reads requests again: a host that gave
            // up on a block can still close, retry or reset.
            if (now - m_rawActivity < kRawIdleMs) {
                HandleRawData(now);
                continue;
            }
            m_raw = RawState::None;
            m_rawBuffer.clear();
        }
        if (m_diagInput.empty()) return;
        if (m_mode == SimMode::Normal && StartsWithAt(m_diagInput)) {
            // The plain-text switch of the diagnostic port.
            const auto cr = std::find(m_diagInput.begin(), m_diagInput.end(), '\r');
            if (cr == m_diagInput.end()) return;
            const std::string command(m_diagInput.begin(), cr);
            m_diagInput.erase(m_diagInput.begin(), cr + 1);
            Record(now, "qcdmg", Bytes(command.begin(), command.end()));
            auto rule = m_faults.Take("qcdmg");
            if (rule && rule->fault == ReplyFault::Silent) continue;
            std::string reply = command + "\r\r\nOK\r\n";
            if (rule && rule->fault == ReplyFault::LowerCase) {
                std::transform(reply.begin(), reply.end(), reply.begin(), [](unsigned char c) { return std::tolower(c); });
            }
            m_link->Send(SimPort::Diag, Bytes(reply.begin(), reply.end()),
                         rule && rule->fault == ReplyFault::Late ? rule->value : m_config.replyDelayMs);
            continue;
        }
        const auto flag = std::find(m_diagInput.begin(), m_diagInput.end(), kFlag);
        if (flag == m_diagInput.end()) {
            if (m_diagInput.size() > kMaxUnframedInput) m_diagInput.clear();
            return;
        }
        const Bytes escaped(m_diagInput.begin(), flag);
        m_diagInput.erase(m_diagInput.begin(), flag + 1);
        if (escaped.empty()) continue;  // a leading flag, or two flags in a row
        Bytes payload;
        frame::AppendUnescaped(escaped.data(), escaped.size(), payload);
        if (!frame::CheckCrc(payload.data(), payload.size())) {
            Record(now, "damaged", payload);
            continue;
        }
        payload.resize(payload.size() - 2);
        if (!payload.empty()) HandleFrame(payload, now);
    }
}

void SimModem::HandleModemBytes(std::uint32_t now)
{
    for (auto cr = m_modemInput.find('\r'); cr != std::string::npos; cr = m_modemInput.find('\r')) {
        std::string command = m_modemInput.substr(0, cr);
        m_modemInput.erase(0, cr + 1);
        if (command.empty()) continue;
        Record(now, "at", Bytes(command.begin(), command.end()));
        m_atCommands.push_back(command);
        auto rule = m_faults.Take("at");
        if (rule && rule->fault == ReplyFault::Silent) continue;
        std::string upper = command;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
        const bool known = upper == "AT" || upper == "ATE0" || upper == "AT+KCDRUN=E" || upper == "AT+KCDRUN=8" ||
                           upper == "AT+KCDRUN=F" || upper == "AT+KCDRUN=9";
        const bool error = !known || (rule && rule->fault == ReplyFault::DiagError);
        std::string reply = command + "\r" + (error ? "\r\nERROR\r\n" : "\r\nOK\r\n");
        if (rule && rule->fault == ReplyFault::LowerCase) {
            std::transform(reply.begin(), reply.end(), reply.begin(), [](unsigned char c) { return std::tolower(c); });
        }
        m_link->Send(SimPort::Modem, Bytes(reply.begin(), reply.end()),
                     rule && rule->fault == ReplyFault::Late ? rule->value : m_config.replyDelayMs);
    }
}

void SimModem::HandleFrame(const Bytes& payload, std::uint32_t now)
{
    switch (m_mode) {
    case SimMode::Normal: HandleNormal(payload, now); break;
    case SimMode::Downloader: HandleDownloader(payload, now); break;
    case SimMode::Programmer: HandleProgrammer(payload, now); break;
    }
}

Bytes SimModem::EncodeFrame(const Bytes& payload, bool damage) const
{
    Bytes withCrc = payload;
    withCrc.resize(payload.size() + 2);
    frame::AppendCrc(withCrc.data(), payload.size());
    if (damage) withCrc.back() ^= 0x5A;
    Bytes out;
    // DIAG replies start with their code; download replies with a flag.
    if (m_mode != SimMode::Normal) out.push_back(kFlag);
    frame::AppendEscaped(withCrc.data(), withCrc.size(), out);
    out.push_back(kFlag);
    return out;
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
            payload = {0x03, static_cast<std::uint8_t>(rule->value >> 8), static_cast<std::uint8_t>(rule->value)};
            acted = false;
            break;
        case ReplyFault::DiagError:
            payload.insert(payload.begin(), static_cast<std::uint8_t>(rule->value));
            acted = false;
            break;
        case ReplyFault::StreamError:
            payload = {0x0D};
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
    Bytes bytes = EncodeFrame(payload, damage);
    // Two frames in one burst, as a single driver read would see them.
    if (twice) {
        const Bytes once = bytes;
        bytes.insert(bytes.end(), once.begin(), once.end());
    }
    m_link->Send(SimPort::Diag, bytes, delay);
    return acted;
}

void SimModem::HandleNormal(const Bytes& p, std::uint32_t now)
{
    const std::uint8_t code = p[0];
    switch (code) {
    case 0x01: {
        Record(now, "esn", p);
        Bytes reply{0x01};
        PutLe(reply, m_config.esn, 4);
        Reply("esn", reply);
        return;
    }
    case 0x7C: {
        Record(now, "swversion", p);
        Bytes reply{0x7C};
        PutLe(reply, 0x0001, 2);
        reply.push_back(0x01);
        PutLe(reply, 0, 4);
        PutLe(reply, 0, 4);
        PutText(reply, m_config.softwareVersion, 256);
        Reply("swversion", reply);
        return;
    }
    case 0x39: {
        Record(now, "versions", p);
        const std::string fields[9] = {m_config.softwareVersion, "HW-B01", "BOOT-1.02", "NV-2.3", "PRL-10",
                                       "CFG-7", "AMSS-6280", "EFS-3", m_faults.productText.value_or(m_config.productText)};
        // The host picks the layout by the raw reply length; the ninth field,
        // the product text, exists only from 291 bytes on.
        const std::size_t rawLength = m_faults.versionsRawLength.value_or(kVersionsMinRawLength);
        std::vector<std::size_t> widths;
        if (rawLength < 131) widths = {22, 22, 24, 24};
        else if (rawLength < 241) widths = {30, 30, 30, 30};
        else if (rawLength < 291) widths = std::vector<std::size_t>(8, 30);
        else widths = {30, 30, 30, 30, 30, 30, 30, 30, 31};
        Bytes reply{0x39};
        for (std::size_t i = 0; i < widths.size(); ++i) {
            PutText(reply, fields[i], widths[i]);
            reply.push_back(0);
        }
        while (EncodeFrame(reply, false).size() < rawLength) reply.push_back(0);
        // An escaped CRC byte can overshoot by one; another filler value
        // gives another CRC.
        for (std::uint8_t filler = 1; EncodeFrame(reply, false).size() != rawLength && filler != 0; ++filler) {
            reply.back() = filler;
        }
        Reply("versions", reply);
        return;
    }
    case 0x29: {
        Record(now, "mode", p);
        const std::uint16_t mode = static_cast<std::uint16_t>((p.size() > 1 ? p[1] : 0) | (p.size() > 2 ? p[2] : 0) << 8);
        if (!Reply("mode", p)) return;
        if (mode == 1) m_offline = true;
        if (mode == 4) m_offline = false;
        if (mode == 2) LeaveBus(SimMode::Normal, m_config.returnDelayMs, now);
        return;
    }
    case 0x3A:
        Record(now, "downloader", p);
        if (Reply("downloader", p)) LeaveBus(SimMode::Downloader, m_config.downloaderDelayMs, now);
        return;
    case 0x5C:
        Record(now, "5c", p);
        Reply("5c", p);
        return;
    case 0x41: {
        Record(now, "spc", p);
        m_spcAccepted = p.size() == 7 && std::memcmp(p.data() + 1, kSpc, 6) == 0;
        Reply("spc", {0x41, static_cast<std::uint8_t>(m_spcAccepted ? 1 : 0)});
        return;
    }
    case 0x26:
    case 0x27: {
        const bool read = code == 0x26;
        const char* name = read ? "nvread" : "nvwrite";
        Record(now, name, p);
        if (p.size() < 133) {
            Reply(name, Bytes{0x15});
            return;
        }
        const auto item = static_cast<std::uint16_t>(p[1] | p[2] << 8);
        if (read && m_faults.nvNoReply.count(item)) return;
        NvData data{};
        std::copy(p.begin() + 3, p.begin() + 131, data.begin());
        std::uint16_t status;
        auto forced = m_faults.nvStatus.find(item);
        if (forced != m_faults.nvStatus.end()) {
            status = forced->second;
            if (read) data = {};
        } else {
            status = read ? m_nv.Read(item, data) : m_nv.Write(item, data);
        }
        if (status == 8 && forced == m_faults.nvStatus.end()) {
            // An item this software does not know: parameters refused.
            Bytes error{0x14};
            error.insert(error.end(), p.begin(), p.end());
            Reply(name, error);
            return;
        }
        Bytes reply{code, p[1], p[2]};
        reply.insert(reply.end(), data.begin(), data.end());
        PutLe(reply, status, 2);
        Reply(name, reply);
        return;
    }
    case 0x4B: {
        const std::uint8_t subsystem = p.size() > 1 ? p[1] : 0;
        const std::uint16_t command = static_cast<std::uint16_t>((p.size() > 2 ? p[2] : 0) | (p.size() > 3 ? p[3] : 0) << 8);
        const Bytes header(p.begin(), p.begin() + std::min<std::size_t>(4, p.size()));
        if (subsystem == 0x04 && command == 0x000E) {
            Record(now, "subsys", p);
            Bytes reply = header;
            reply.push_back(m_spcAccepted && m_offline ? 0 : 1);
            Reply("subsys", reply);
        } else if (subsystem == 0xA3 && command == 0x0005) {
            Record(now, "downloadcheck", p);
            const bool magic = p.size() >= 8 && p[4] == 0x2C && p[5] == 0x1A && p[6] == 0xBE && p[7] == 0x6E;
            Bytes reply = header;
            reply.push_back(m_faults.downloadCheckResult.value_or(magic ? 0 : 1));
            Reply("downloadcheck", reply);
        } else if ((subsystem == 0xAA || subsystem == 0xA1) && command == 0x0000) {
            const char* name = subsystem == 0xAA ? "vendorflag" : "autorun";
            Record(now, name, p);
            (subsystem == 0xAA ? m_vendorFlag : m_autorun) = p.size() > 4 ? p[4] : 0;
            Bytes reply = header;
            reply.push_back(0);
            Reply(name, reply);
        } else if (subsystem == 0xA3 && command == 0x0006) {
            Record(now, "challenge", p);
            if (m_faults.challenge) {
                m_challenge = *m_faults.challenge;
            } else {
                m_challenge.clear();
                for (int i = 0; i < 8; ++i) m_challenge.push_back(static_cast<std::uint8_t>(0x31 + 17 * i + 5 * m_generation));
            }
            Bytes reply = header;
            reply.insert(reply.end(), m_challenge.begin(), m_challenge.end());
            Reply("challenge", reply);
        } else if (subsystem == 0xA3 && command == 0x0007) {
            Record(now, "answer", p);
            const md5::Digest expected = md5::Compute(m_challenge.data(), m_challenge.size());
            m_challengePassed = !m_challenge.empty() && p.size() == 20 && std::equal(expected.begin(), expected.end(), p.begin() + 4);
            Bytes reply = header;
            reply.push_back(m_challengePassed ? 0 : 1);
            Reply("answer", reply);
        } else {
            Record(now, "subsystem", p);
            Bytes error{0x13};
            error.insert(error.end(), p.begin(), p.end());
            Reply("subsystem", error);
        }
        return;
    }
    default: {
        Record(now, "unknown", p);
        Bytes error{0x13};
        error.insert(error.end(), p.begin(), p.end());
        Reply("unknown", error);
        return;
    }
    }
}

void SimModem::HandleDownloader(const Bytes& p, std::uint32_t now)
{
    const Bytes ack{0x02};
    switch (p[0]) {
    case 0x06:
        Record(now, "nop", p);
        Reply("nop", ack);
        return;
    case 0x07:
        Record(now, "params", p);
        Reply("params", {0x08, 0x05, 0x02, 0x04, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00});
        return;
    case 0x0F: {
        Record(now, "dmsswrite", p);
        if (p.size() < 7) {
            Reply("dmsswrite", {0x03, 0x00, 0x04});
            return;
        }
        const std::uint32_t address = Be32(p, 1);
        const std::uint16_t length = Be16(p, 5);
        if (p.size() - 7 != length) {
            Reply("dmsswrite", {0x03, 0x00, 0x03});
            return;
        }
        if (address < kRamBase || address - kRamBase + length > kRamSize) {
            Reply("dmsswrite", {0x03, 0x00, 0x02});
            return;
        }
        const std::uint32_t offset = address - kRamBase;
        if (m_ram.size() < offset + length) m_ram.resize(offset + length);
        std::copy(p.begin() + 7, p.end(), m_ram.begin() + offset);
        m_ramHighWater = std::max<std::uint32_t>(m_ramHighWater, offset + length);
        Reply("dmsswrite", ack);
        return;
    }
    case 0x05: {
        Record(now, "go", p);
        const std::uint32_t address = static_cast<std::uint32_t>(Be16(p, 1)) << 16 | Be16(p, 3);
        if (m_ram.empty() || address != kRamBase) {
            Reply("go", {0x03, 0x00, 0x07});
            return;
        }
        if (!Reply("go", ack)) return;
        m_startAddress = address;
        // The programmer takes over the same port.
        m_mode = SimMode::Programmer;
        m_greeted = false;
        m_openType = -1;
        m_imageBytes = 0;
        return;
    }
    case 0x0A:
        Record(now, "dmssreset", p);
        if (Reply("dmssreset", ack)) LeaveBus(SimMode::Normal, m_config.returnDelayMs, now);
        return;
    default:
        Record(now, "unknown", p);
        Reply("unknown", {0x03, 0x00, 0x06});
        return;
    }
}

void SimModem::HandleProgrammer(const Bytes& p, std::uint32_t now)
{
    auto error = [](std::uint32_t code) {
        Bytes reply{0x0D};
        PutLe(reply, code, 4);
        return reply;
    };
    switch (p[0]) {
    case 0x01: {
        Record(now, "hello", p);
        const bool magic = p.size() >= 33 && std::memcmp(p.data() + 1, kHostMagic, 32) == 0;
        if (!magic) {
            Reply("hello", error(5));
            return;
        }
        m_greeted = true;
        Bytes reply{0x02};
        PutText(reply, kTargetMagic, 32);
        reply.insert(reply.end(), {0x02, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00});
        Reply("hello", reply);
        return;
    }
    case 0x17:
        Record(now, "security", p);
        Reply("security", {0x18});
        return;
    case 0x19:
        Record(now, "partition", p);
        m_partitionTable.assign(p.begin() + std::min<std::size_t>(2, p.size()), p.end());
        Reply("partition", {0x1A, 0x00});
        return;
    case 0x1B: {
        Record(now, "open", p);
        const std::uint8_t type = p.size() > 1 ? p[1] : 0;
        FlashImage image;
        image.header.assign(p.begin() + std::min<std::size_t>(2, p.size()), p.end());
        m_images[type] = image;
        m_openType = type;
        m_segmentBase = 0;
        Reply("open", {0x1C, 0x00});
        return;
    }
    case 0x07: {
        Record(now, "swrite", p);
        const std::uint32_t address = Le32(p, 1);
        if (p.size() < 5) {
            Reply("swrite", error(4));
            return;
        }
        if (address != 0xFFFFFFFF) {
            if (m_openType < 0) {
                Reply("swrite", error(15));
                return;
            }
            // A write the flash cannot hold beside the other images is refused.
            if (FlashUsedAfter(m_images, static_cast<std::uint8_t>(m_openType), std::uint64_t{address} + (p.size() - 5)) > kFlashSize) {
                Reply("swrite", error(2));
                return;
            }
            StoreImageData(address, p.data() + 5, p.size() - 5);
            m_imageBytes += p.size() - 5;
        }
        Bytes reply{0x08};
        PutLe(reply, address, 4);
        Reply("swrite", reply);
        if (m_faults.vanishAfterBytes >= 0 && m_imageBytes >= static_cast<std::uint64_t>(m_faults.vanishAfterBytes)) {
            m_faults.vanishAfterBytes = -1;
            LeaveBus(SimMode::Normal, m_config.returnDelayMs, now);
        }
        return;
    }
    case 0x15:
        Record(now, "close", p);
        if (m_openType >= 0) m_images[static_cast<std::uint8_t>(m_openType)].closed = true;
        m_openType = -1;
        Reply("close", {0x16});
        return;
    case 0x09:
        Record(now, "snop", p);
        Reply("snop", {0x0A, static_cast<std::uint8_t>(p.size() > 1 ? p[1] : 0)});
        return;
    case 0x0B: {
        Record(now, "sreset", p);
        if (!Reply("sreset", {0x0C})) return;
        // A new file system starts from the factory's NV values.
        auto efs = m_images.find(9);
        if (efs != m_images.end() && efs->second.closed) m_nv.ResetToFactory();
        LeaveBus(SimMode::Normal, m_config.returnDelayMs, now);
        return;
    }
    case 0x28: {
        Record(now, "checksum", p);
        const std::uint32_t size = Be32(p, 5);
        if (m_openType < 0) {
            Reply("checksum", error(15));
            return;
        }
        if (size == 0) {
            Reply("checksum", error(3));
            return;
        }
        if (m_faults.neverReady) return;
        m_raw = RawState::Checksum;
        m_rawActivity = now;
        m_rawImageSize = size;
        m_rawOffset = 0;
        m_rawExpected = std::min(size, kChecksumBlock) + 4;
        m_rawBuffer.clear();
        m_blockRejections = 0;
        m_segmentBase = 0;
        SignalReady("checksum");
        return;
    }
    case 0x1D: {
        Record(now, "segment", p);
        const std::uint32_t size = Be32(p, 5);
        if (m_openType < 0) {
            Reply("segment", error(15));
            return;
        }
        if (size == 0 || size > kMaxSegment) {
            Reply("segment", error(3));
            return;
        }
        m_raw = RawState::Segment;
        m_rawActivity = now;
        m_rawExpected = size;
        m_rawBuffer.clear();
        return;
    }
    default:
        Record(now, "unknown", p);
        Reply("unknown", error(5));
        return;
    }
}

void SimModem::StoreImageData(std::uint32_t offset, const std::uint8_t* data, std::size_t length)
{
    Bytes& image = m_images[static_cast<std::uint8_t>(m_openType)].data;
    if (image.size() < offset + length) image.resize(offset + length);
    std::copy(data, data + length, image.begin() + offset);
}

void SimModem::HandleRawData(std::uint32_t now)
{
    m_rawActivity = now;
    const std::size_t take = std::min<std::size_t>(m_rawExpected, m_diagInput.size());
    m_rawBuffer.insert(m_rawBuffer.end(), m_diagInput.begin(), m_diagInput.begin() + take);
    m_diagInput.erase(m_diagInput.begin(), m_diagInput.begin() + take);
    m_rawExpected -= static_cast<std::uint32_t>(take);
    m_imageBytes += take;
    if (m_faults.vanishAfterBytes >= 0 && m_imageBytes >= static_cast<std::uint64_t>(m_faults.vanishAfterBytes)) {
        m_faults.vanishAfterBytes = -1;
        LeaveBus(SimMode::Normal, m_config.returnDelayMs, now);
        return;
    }
    if (m_rawExpected > 0) return;
    if (m_raw == RawState::Checksum) HandleChecksumBlock(now);
    else HandleSegment(now);
}

void SimModem::HandleChecksumBlock(std::uint32_t now)
{
    const std::size_t size = m_rawBuffer.size() - 4;
    Record(now, "rawblock", Bytes(m_rawBuffer.end() - 4, m_rawBuffer.end()));
    const std::uint32_t sent = Le32(m_rawBuffer, size);
    const bool intact = frame::BlockChecksum(m_rawBuffer.data(), size) == sent;
    if (!intact || m_blockRejections < m_faults.blockRejects) {
        ++m_blockRejections;
        m_rawExpected = static_cast<std::uint32_t>(size + 4);
        m_rawBuffer.clear();
        Reply("verify", {0x29, 0x00, 0x00, 0x00, 0x00});
        SignalReady("ready");
        return;
    }
    m_blockRejections = 0;
    StoreImageData(m_rawOffset, m_rawBuffer.data(), size);
    Reply("verify", {0x29, 0x00, 0x01, 0x00, 0x00});
    Bytes written{0x08};
    PutLe(written, m_rawOffset + static_cast<std::uint32_t>(size) - 1, 4);
    Reply("written", written);
    m_rawOffset += static_cast<std::uint32_t>(size);
    m_rawBuffer.clear();
    if (m_rawOffset < m_rawImageSize) {
        m_rawExpected = std::min(m_rawImageSize - m_rawOffset, kChecksumBlock) + 4;
        SignalReady("ready");
    } else {
        m_raw = RawState::None;
    }
}

void SimModem::SignalReady(const std::string& name)
{
    // A programmer that has not said it is ready takes no raw data: what the
    // host sends next (a segment command, after giving up on this mode) is
    // read as requests again.
    if (!Reply(name, {0x29, 0x01, 0x00, 0x00, 0x00})) m_raw = RawState::None;
}

void SimModem::HandleSegment(std::uint32_t now)
{
    const auto size = static_cast<std::uint32_t>(m_rawBuffer.size());
    Record(now, "rawsegment", {});
    std::uint16_t crc = static_cast<std::uint16_t>(~frame::CrcUpdate(0x0000, m_rawBuffer.data(), size));
    StoreImageData(m_segmentBase, m_rawBuffer.data(), size);
    m_segmentBase += size;
    m_rawBuffer.clear();
    m_raw = RawState::None;
    if (m_faults.wrongSegmentCrc) ++crc;
    // The CRC travels in the upper half of a written report.
    Bytes crcReply{0x08};
    PutLe(crcReply, static_cast<std::uint32_t>(crc) << 16 | 0x5A5A, 4);
    Reply("segmentcrc", crcReply);
    for (std::uint32_t done = 0; done < size;) {
        done = std::min(size, done + kReportStep);
        Bytes report{0x08};
        PutLe(report, done - 1, 4);
        Reply("written", report);
    }
}

}  // namespace sim
