#include "download/dmss.h"

#include <algorithm>

#include "download/request_record.h"
#include "link/sentence.h"

namespace download {
namespace {

constexpr const char* kGoFailed = "Cannot begin execution at an address, Since %s";
constexpr const char* kNopFailed = "Cannot Do No Operation, Since %s";
constexpr const char* kResetFailed = "Cannot Reset the Phone, Since %s";
constexpr const char* kGetParamsFailed = "Cannot Get flash Information, Since %s";

ProtocolReply DmssExchange(CPhoneProtocol& protocol, const Bytes& payload, std::uint8_t attempts,
                           std::uint32_t timeoutMs)
{
    return protocol.Exchange({ProtocolMode::Dmss, payload, Dmss::Refusal}, attempts, timeoutMs);
}

ProtocolReply CommandExchange(CPhoneProtocol& protocol, std::uint8_t command, std::uint8_t attempts,
                              std::uint32_t timeoutMs)
{
    protocol.Begin(ProtocolMode::Dmss);
    Bytes payload;
    Dmss::BuildCommand(payload, command);
    return DmssExchange(protocol, payload, attempts, timeoutMs);
}

// Only the boot downloader's acknowledgement answers a no-op or a reset; the
// flash programmer answers the same codes with an error of its own.
bool Acknowledged(const ProtocolReply& reply) { return reply && !reply.payload.empty() && reply.payload[0] == Dmss::kAck; }

}  // namespace

void Dmss::BuildWrite(Bytes& out, std::uint32_t address, std::span<const std::uint8_t> data)
{
    out.push_back(kWrite);
    record::AppendMsbFirst(out, address, 4);
    record::AppendMsbFirst(out, static_cast<std::uint32_t>(data.size()), 2);
    out.insert(out.end(), data.begin(), data.end());
}

void Dmss::BuildGo(Bytes& out, std::uint16_t segment, std::uint16_t offset)
{
    out.push_back(kGo);
    record::AppendMsbFirst(out, segment, 2);
    record::AppendMsbFirst(out, offset, 2);
}

void Dmss::BuildCommand(Bytes& out, std::uint8_t command) { out.push_back(command); }

StepResult Dmss::Refusal(std::span<const std::uint8_t> reply)
{
    if (reply.empty() || reply[0] != kNak) return {};
    // Reason bytes the reply lacks read as zero, never as its CRC.
    const auto at = [&](std::size_t i) -> std::uint16_t { return i < reply.size() ? reply[i] : 0; };
    return StepResult::Failed(NakText(static_cast<std::uint16_t>(at(1) << 8 | at(2))));
}

FlashInfo Dmss::ParseFlashInfo(std::span<const std::uint8_t> reply)
{
    FlashInfo info{};
    std::copy_n(reply.begin(), std::min(reply.size(), info.size()), info.begin());
    return info;
}

const char* Dmss::NakText(std::uint16_t reason)
{
    static constexpr const char* kTexts[] = {
        "",
        "invalid frame check sequence",
        "destination address is invalid",
        "operation length is invalid",
        "packet was too short for this cmd",
        "packet was too long for phone's buffer",
        "packet command code was unknown",
        "operation did not succeed",
        "intelligent ID code was wrong",
        "programming voltage out of spec",
        "readback verify did not match",
        "not permitted without unlock",
        "invalid security code",
    };
    return reason < std::size(kTexts) ? kTexts[reason] : "";
}

StepResult DmssWrite(CPhoneProtocol& protocol, std::uint32_t address, const std::uint8_t* data, std::uint32_t length)
{
    protocol.Begin(ProtocolMode::Dmss);
    if (length > Dmss::kMaxWriteData) return protocol.Fail(Sentence(record::kWriteFailed, {record::kBlockTooLarge}));
    Bytes payload;
    Dmss::BuildWrite(payload, address, {data, length});
    const ProtocolReply reply = DmssExchange(protocol, payload, 3, 5000);
    if (!reply) return protocol.Fail(Sentence(record::kWriteFailed, {reply.Reason()}));
    return {};
}

StepResult DmssGo(CPhoneProtocol& protocol, std::uint16_t segment, std::uint16_t offset)
{
    protocol.Begin(ProtocolMode::Dmss);
    Bytes payload;
    Dmss::BuildGo(payload, segment, offset);
    const ProtocolReply reply = DmssExchange(protocol, payload, 3, 2000);
    if (!reply) return protocol.Fail(Sentence(kGoFailed, {reply.Reason()}));
    return {};
}

StepResult DmssNop(CPhoneProtocol& protocol)
{
    const ProtocolReply reply = CommandExchange(protocol, Dmss::kNop, 1, 20000);
    // Another reply than the acknowledgement fails without a reason.
    if (Acknowledged(reply)) return {};
    return protocol.Fail(Sentence(kNopFailed, {reply.Reason()}));
}

bool DmssAnswers(CPhoneProtocol& protocol, std::uint32_t timeoutMs)
{
    return Acknowledged(CommandExchange(protocol, Dmss::kNop, 1, timeoutMs));
}

StepResult DmssReset(CPhoneProtocol& protocol)
{
    const ProtocolReply reply = CommandExchange(protocol, Dmss::kReset, 3, 2000);
    if (Acknowledged(reply)) return {};
    return protocol.Fail(Sentence(kResetFailed, {reply.Reason()}));
}

StepResult DmssGetParams(CPhoneProtocol& protocol, FlashInfo& info)
{
    const ProtocolReply reply = CommandExchange(protocol, Dmss::kGetParams, 1, 20000);
    if (!reply) {
        info.fill(0);
        return protocol.Fail(Sentence(kGetParamsFailed, {reply.Reason()}));
    }
    info = Dmss::ParseFlashInfo(reply.payload);
    return {};
}

}  // namespace download
