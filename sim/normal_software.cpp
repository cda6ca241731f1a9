#include "sim/normal_software.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

#include "link/md5.h"
#include "sim/modem.h"

namespace sim {
namespace {

using Request = NormalSoftware::Request;
static_assert(std::size(NormalSoftware::kRequestNames) == static_cast<std::size_t>(Request::Count));

struct Command {
    std::uint8_t code;
    Request request;
};

constexpr Command kCommands[] = {
    {0x01, Request::Esn},      {0x7C, Request::SoftwareVersion}, {0x39, Request::Versions},
    {0x29, Request::Mode},     {0x3A, Request::Downloader},      {0x5C, Request::Switch},
    {0x41, Request::Spc},      {0x26, Request::NvRead},          {0x27, Request::NvWrite},
};
constexpr std::uint8_t kSubsystemCommand = 0x4B;

struct SubsystemCommand {
    std::uint8_t subsystem;
    std::uint16_t command;
    Request request;
};

constexpr SubsystemCommand kSubsystemCommands[] = {
    {0x04, 0x000E, Request::ReadyCheck}, {0xA3, 0x0005, Request::DownloadCheck}, {0xAA, 0x0000, Request::VendorFlag},
    {0xA1, 0x0000, Request::Autorun},     {0xA3, 0x0006, Request::Challenge},     {0xA3, 0x0007, Request::Answer},
};

// Error replies: the code, then the request as it came.
constexpr std::uint8_t kBadCommand = 0x13;
constexpr std::uint8_t kBadParameters = 0x14;
constexpr std::uint8_t kBadLength = 0x15;

// Operating modes a mode request asks for.
constexpr std::uint16_t kOffline = 1;
constexpr std::uint16_t kReset = 2;
constexpr std::uint16_t kOnline = 4;

// An NV request: code, item, 128 data bytes, status.
constexpr std::size_t kNvRequestSize = 133;
// The NV store's status for an item this software does not know.
constexpr std::uint16_t kNvBadItem = 8;
constexpr std::uint8_t kDownloadMagic[] = {0x2C, 0x1A, 0xBE, 0x6E};

// The host picks the versions reply's layout by its raw length; the ninth
// field, the product text, exists only from this length on.
constexpr std::size_t kVersionsMinRawLength = 291;

Bytes ErrorReply(std::uint8_t code, const Bytes& request)
{
    Bytes error(request.size() + 1);
    error[0] = code;
    std::copy(request.begin(), request.end(), error.begin() + 1);
    return error;
}

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

}  // namespace

bool NormalSoftware::Reply(Request request, Bytes payload)
{
    return m_device.Reply(Name(request), std::move(payload));
}

void NormalSoftware::Restart()
{
    m_offline = false;
    m_spcAccepted = false;
}

void NormalSoftware::HandleFrame(const Bytes& p, std::uint32_t now)
{
    const std::uint8_t code = p[0];
    if (code == kSubsystemCommand) {
        HandleSubsystem(p, now);
        return;
    }
    const auto* command = std::find_if(std::begin(kCommands), std::end(kCommands), [&](const Command& c) { return c.code == code; });
    const Request request = command == std::end(kCommands) ? Request::Unknown : command->request;
    m_device.Record(now, Name(request), p);
    switch (request) {
    case Request::Esn: {
        Bytes reply{code};
        PutLe(reply, m_device.m_config.esn, 4);
        Reply(request, reply);
        return;
    }
    case Request::SoftwareVersion: {
        Bytes reply{code};
        PutLe(reply, 0x0001, 2);
        reply.push_back(0x01);
        PutLe(reply, 0, 4);
        PutLe(reply, 0, 4);
        PutText(reply, m_device.m_config.softwareVersion, 256);
        Reply(request, reply);
        return;
    }
    case Request::Versions: ReplyVersions(code); return;
    case Request::Mode: {
        const std::uint16_t mode = static_cast<std::uint16_t>((p.size() > 1 ? p[1] : 0) | (p.size() > 2 ? p[2] : 0) << 8);
        if (!Reply(request, p)) return;
        if (mode == kOffline) m_offline = true;
        if (mode == kOnline) m_offline = false;
        if (mode == kReset) m_device.Reboot(now);
        return;
    }
    case Request::Downloader:
        if (Reply(request, p)) m_device.LeaveBus(SimMode::Downloader, m_device.m_config.downloaderDelayMs, now);
        return;
    case Request::Switch: Reply(request, p); return;
    case Request::Spc:
        m_spcAccepted = p.size() == 7 && std::memcmp(p.data() + 1, kSpc, 6) == 0;
        Reply(request, {code, static_cast<std::uint8_t>(m_spcAccepted ? 1 : 0)});
        return;
    case Request::NvRead:
    case Request::NvWrite: HandleNv(request, p); return;
    default: Reply(Request::Unknown, ErrorReply(kBadCommand, p)); return;
    }
}

void NormalSoftware::ReplyVersions(std::uint8_t code)
{
    const Faults& faults = m_device.m_faults;
    const ModemConfig& config = m_device.m_config;
    const std::string fields[9] = {config.softwareVersion, "HW-B01", "BOOT-1.02", "NV-2.3", "PRL-10",
                                   "CFG-7", "AMSS-6280", "EFS-3", faults.productText.value_or(config.productText)};
    const std::size_t rawLength = faults.versionsRawLength.value_or(kVersionsMinRawLength);
    std::vector<std::size_t> widths;
    if (rawLength < 131) widths = {22, 22, 24, 24};
    else if (rawLength < 241) widths = {30, 30, 30, 30};
    else if (rawLength < kVersionsMinRawLength) widths = std::vector<std::size_t>(8, 30);
    else widths = {30, 30, 30, 30, 30, 30, 30, 30, 31};
    Bytes reply{code};
    for (std::size_t i = 0; i < widths.size(); ++i) {
        PutText(reply, fields[i], widths[i]);
        reply.push_back(0);
    }
    while (m_device.FramedSize(reply) < rawLength) reply.push_back(0);
    // An escaped CRC byte can overshoot by one; another filler value gives
    // another CRC.
    for (std::uint8_t filler = 1; m_device.FramedSize(reply) != rawLength && filler != 0; ++filler) reply.back() = filler;
    Reply(Request::Versions, reply);
}

void NormalSoftware::HandleNv(Request request, const Bytes& p)
{
    if (p.size() < kNvRequestSize) {
        Reply(request, Bytes{kBadLength});
        return;
    }
    const bool read = request == Request::NvRead;
    const Faults& faults = m_device.m_faults;
    const auto item = static_cast<std::uint16_t>(p[1] | p[2] << 8);
    if (read && faults.nvNoReply.count(item)) return;
    NvData data{};
    std::copy(p.begin() + 3, p.begin() + 131, data.begin());
    std::uint16_t status;
    auto forced = faults.nvStatus.find(item);
    if (forced != faults.nvStatus.end()) {
        status = forced->second;
        if (read) data = {};
    } else {
        status = read ? m_device.m_nv.Read(item, data) : m_device.m_nv.Write(item, data);
        if (!read && status == 0) m_device.StoreChanged();
    }
    if (status == kNvBadItem && forced == faults.nvStatus.end()) {
        Reply(request, ErrorReply(kBadParameters, p));
        return;
    }
    Bytes reply{p[0], p[1], p[2]};
    reply.insert(reply.end(), data.begin(), data.end());
    PutLe(reply, status, 2);
    Reply(request, reply);
}

void NormalSoftware::HandleSubsystem(const Bytes& p, std::uint32_t now)
{
    const std::uint8_t subsystem = p.size() > 1 ? p[1] : 0;
    const std::uint16_t command = static_cast<std::uint16_t>((p.size() > 2 ? p[2] : 0) | (p.size() > 3 ? p[3] : 0) << 8);
    const auto* known = std::find_if(std::begin(kSubsystemCommands), std::end(kSubsystemCommands),
                                     [&](const SubsystemCommand& c) { return c.subsystem == subsystem && c.command == command; });
    const Request request = known == std::end(kSubsystemCommands) ? Request::Subsystem : known->request;
    m_device.Record(now, Name(request), p);
    // Replies repeat the request's code, subsystem and command.
    Bytes reply(p.begin(), p.begin() + std::min<std::size_t>(4, p.size()));
    switch (request) {
    case Request::ReadyCheck: reply.push_back(m_spcAccepted && m_offline ? 0 : 1); break;
    case Request::DownloadCheck: {
        const bool magic = p.size() >= 8 && std::equal(std::begin(kDownloadMagic), std::end(kDownloadMagic), p.begin() + 4);
        reply.push_back(m_device.m_faults.downloadCheckResult.value_or(magic ? 0 : 1));
        break;
    }
    case Request::VendorFlag:
    case Request::Autorun:
        (request == Request::VendorFlag ? m_vendorFlag : m_autorun) = p.size() > 4 ? p[4] : 0;
        reply.push_back(0);
        break;
    case Request::Challenge:
        if (m_device.m_faults.challenge) {
            m_challenge = *m_device.m_faults.challenge;
        } else {
            m_challenge.clear();
            for (int i = 0; i < 8; ++i) m_challenge.push_back(static_cast<std::uint8_t>(0x31 + 17 * i + 5 * m_device.m_generation));
        }
        reply.insert(reply.end(), m_challenge.begin(), m_challenge.end());
        break;
    case Request::Answer: {
        const md5::Digest expected = md5::Compute(m_challenge.data(), m_challenge.size());
        m_challengePassed = !m_challenge.empty() && p.size() == 20 && std::equal(expected.begin(), expected.end(), p.begin() + 4);
        reply.push_back(m_challengePassed ? 0 : 1);
        break;
    }
    default: reply = ErrorReply(kBadCommand, p); break;
    }
    Reply(request, reply);
}

bool NormalSoftware::TakeSwitchCommand(Bytes& input, std::uint32_t now)
{
    const auto cr = std::find(input.begin(), input.end(), '\r');
    if (cr == input.end()) return false;
    const std::string command(input.begin(), cr);
    input.erase(input.begin(), cr + 1);
    m_device.Record(now, Name(Request::TextSwitch), Bytes(command.begin(), command.end()));
    auto rule = m_device.m_faults.Take(Name(Request::TextSwitch));
    if (!rule || rule->fault != ReplyFault::Silent) m_device.ReplyText(SimPort::Diag, command + "\r\r\nOK\r\n", rule);
    return true;
}

void NormalSoftware::TakeAtCommands(std::string& input, std::uint32_t now)
{
    static const std::string kKnown[] = {"AT", "ATE0", "AT+KCDRUN=E", "AT+KCDRUN=8", "AT+KCDRUN=F", "AT+KCDRUN=9"};
    for (auto cr = input.find('\r'); cr != std::string::npos; cr = input.find('\r')) {
        std::string command = input.substr(0, cr);
        input.erase(0, cr + 1);
        if (command.empty()) continue;
        m_device.Record(now, Name(Request::At), Bytes(command.begin(), command.end()));
        m_atCommands.push_back(command);
        auto rule = m_device.m_faults.Take(Name(Request::At));
        if (rule && rule->fault == ReplyFault::Silent) continue;
        const bool known = std::find(std::begin(kKnown), std::end(kKnown), Upper(command)) != std::end(kKnown);
        const bool error = !known || (rule && rule->fault == ReplyFault::DiagError);
        m_device.ReplyText(SimPort::Modem, command + "\r" + (error ? "\r\nERROR\r\n" : "\r\nOK\r\n"), rule);
    }
}

}  // namespace sim
