#include "download/dmss.h"

#include <algorithm>
#include <cstring>

#include "download/request_record.h"

namespace download {
namespace {

constexpr const char* kWriteFailed = "Write a Block of Data to Memory Failed, Since %s";
constexpr const char* kGoFailed = "Cannot begin execution at an address, Since %s";
constexpr const char* kNopFailed = "Cannot Do No Operation, Since %s";
constexpr const char* kResetFailed = "Cannot Reset the Phone, Since %s";
constexpr const char* kGetParamsFailed = "Cannot Get flash Information, Since %s";
constexpr const char* kBlockTooLarge = "the Data Block is Too Large for One Request";

const Dmss kCodec{};

void BeginRequest(CPhoneProtocol& protocol, std::uint8_t command)
{
    protocol.BeginRequest(ProtocolMode::Dmss, kCodec, command);
}

}  // namespace

void Dmss::BuildPayload(const CPhoneProtocol& protocol, std::vector<std::uint8_t>& payload) const
{
    switch (protocol.command) {
    case kWrite: {
        const auto length = std::min<std::uint32_t>(record::Load(protocol, kWriteLengthField, 4), kMaxWriteData);
        payload.push_back(kWrite);
        record::AppendMsbFirst(payload, record::Load(protocol, kWriteAddressField, 4), 4);
        record::AppendMsbFirst(payload, length, 2);
        const std::uint8_t* data = protocol.params + kWriteDataField;
        payload.insert(payload.end(), data, data + length);
        break;
    }
    case kGo:
        payload.push_back(kGo);
        record::AppendMsbFirst(payload, record::Load(protocol, kGoSegmentField, 2), 2);
        record::AppendMsbFirst(payload, record::Load(protocol, kGoOffsetField, 2), 2);
        break;
    case kNop:
    case kGetParams:
    case kReset:
        payload.push_back(protocol.command);
        break;
    default:
        break;
    }
}

bool Dmss::ParseReply(CPhoneProtocol& protocol) const
{
    // The reply area holds this reply and nothing older: bytes the reply
    // lacks read as zero, never as its CRC or an earlier reply's fields.
    const std::size_t length = std::min<std::size_t>(protocol.rxPayloadLength, CPhoneProtocol::kReplySize);
    std::memcpy(protocol.reply, protocol.rx, length);
    std::memset(protocol.reply + length, 0, CPhoneProtocol::kReplySize - length);
    if (protocol.reply[0] != kNak) return true;
    protocol.lastError = NakText(static_cast<std::uint16_t>(protocol.reply[1] << 8 | protocol.reply[2]));
    return false;
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

bool DmssWrite(CPhoneProtocol& protocol, std::uint32_t address, const std::uint8_t* data, std::uint32_t length)
{
    BeginRequest(protocol, Dmss::kWrite);
    if (length > Dmss::kMaxWriteData) {
        protocol.lastError = kBlockTooLarge;
        return record::FailWith(protocol, kWriteFailed);
    }
    record::Store(protocol, Dmss::kWriteAddressField, address, 4);
    record::Store(protocol, Dmss::kWriteLengthField, length, 4);
    if (length > 0) std::memcpy(protocol.params + Dmss::kWriteDataField, data, length);
    return protocol.Exchange(3, 5000) || record::FailWith(protocol, kWriteFailed);
}

bool DmssGo(CPhoneProtocol& protocol, std::uint16_t segment, std::uint16_t offset)
{
    BeginRequest(protocol, Dmss::kGo);
    record::Store(protocol, Dmss::kGoSegmentField, segment, 2);
    record::Store(protocol, Dmss::kGoOffsetField, offset, 2);
    return protocol.Exchange(3, 2000) || record::FailWith(protocol, kGoFailed);
}

bool DmssNop(CPhoneProtocol& protocol)
{
    BeginRequest(protocol, Dmss::kNop);
    if (protocol.Exchange(1, 20000) && protocol.reply[0] == Dmss::kAck) return true;
    return record::FailWith(protocol, kNopFailed);
}

bool DmssReset(CPhoneProtocol& protocol)
{
    BeginRequest(protocol, Dmss::kReset);
    return protocol.Exchange(3, 2000) || record::FailWith(protocol, kResetFailed);
}

bool DmssGetParams(CPhoneProtocol& protocol, FlashInfo& info)
{
    BeginRequest(protocol, Dmss::kGetParams);
    if (!protocol.Exchange(1, 20000)) {
        info.fill(0);
        return record::FailWith(protocol, kGetParamsFailed);
    }
    std::copy(std::begin(protocol.reply), std::end(protocol.reply), info.begin());
    return true;
}

}  // namespace download
