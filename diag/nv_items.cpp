#include "diag/nv_items.h"

#include <algorithm>
#include <string>

namespace diag {
namespace {

constexpr std::uint8_t kNvAttempts = 3;
constexpr std::uint32_t kNvTimeoutMs = 2000;
// NV item requests take the device longer to answer in full.
constexpr std::uint32_t kNvPollMs = 30;

constexpr const char* kNvReadRejected = "cannot read #%d NV Item, since %s";
constexpr const char* kNvReadFailed = "cannot read #%d NVItem, since %s";
constexpr const char* kNvWriteRejected = "Cannot Write #%d NVItem, Since %s";
constexpr const char* kNvWriteFailed = "Cannot write #%d NVItem, Since %s";

std::uint16_t LoadU16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// A cut reply fails the attempt, so that it is sent again.
StepResult Incomplete(std::span<const std::uint8_t> reply)
{
    const Result<NvReply> parsed = ParseNvReply(reply);
    if (!parsed) return StepResult::Failed(parsed.Reason());
    return {};
}

ProtocolReply NvExchange(CPhoneProtocol& protocol, std::uint8_t command, std::uint16_t item,
                         std::span<const std::uint8_t, kNvDataSize> data)
{
    Bytes payload;
    BuildNvRequest(payload, command, item, data);
    return ExchangeDiag(protocol, payload, kNvAttempts, kNvTimeoutMs, Incomplete, kNvPollMs);
}

}  // namespace

void BuildNvRequest(Bytes& out, std::uint8_t command, std::uint16_t item, std::span<const std::uint8_t, kNvDataSize> data)
{
    out.push_back(command);
    out.push_back(static_cast<std::uint8_t>(item));
    out.push_back(static_cast<std::uint8_t>(item >> 8));
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(0);
    out.push_back(0);
}

Result<NvReply> ParseNvReply(std::span<const std::uint8_t> reply)
{
    if (reply.size() < 1 + kNvRecordSize) return StepResult::Failed(kNvReplyIncomplete);
    NvReply fields;
    fields.item = LoadU16(reply, 1);
    std::copy_n(reply.begin() + 3, kNvDataSize, fields.data.begin());
    fields.status = LoadU16(reply, 3 + kNvDataSize);
    return fields;
}

std::string_view NvStatusText(std::uint16_t status)
{
    switch (status) {
    case NV_BUSY_S: return "Request is queued";
    case NV_BADCMD_S: return "Unrecognizable command field";
    case NV_FULL_S: return "The NVM is full";
    case NV_FAIL_S: return "Command failed, reason other than NVM was full";
    case NV_NOTACTIVE_S: return "Variable was not active";
    case NV_BADPARM_S: return "Bad parameter in command block";
    case NV_READONLY_S: return "Parameter is write-protected and thus read only";
    case NV_BADTG_S: return "Item not valid for Target";
    case NV_NOMEM_S: return "free memory exhausted";
    case NV_NOTALLOC_S: return "address is not a valid allocation ";
    default: return {};
    }
}

StepResult NvRead(CPhoneProtocol& protocol, std::uint16_t item, std::span<std::uint8_t, kNvDataSize> data,
            std::uint16_t& status)
{
    const std::string number = std::to_string(item);
    const ProtocolReply reply = NvExchange(protocol, kNvReadCommand, item, data);
    std::fill(data.begin(), data.end(), std::uint8_t{0});
    if (!reply) {
        status = NV_RWOPFAILED_S;
        return protocol.Fail(Sentence(kNvReadFailed, {number, reply.Reason()}));
    }
    const NvReply fields = *ParseNvReply(reply.payload);
    status = fields.status;
    if (status != NV_DONE_S) return protocol.Fail(Sentence(kNvReadRejected, {number, NvStatusText(status)}));
    std::copy(fields.data.begin(), fields.data.end(), data.begin());
    return {};
}

StepResult NvWrite(CPhoneProtocol& protocol, std::uint16_t item, std::span<const std::uint8_t, kNvDataSize> data,
             std::uint16_t& status)
{
    const std::string number = std::to_string(item);
    status = NV_DONE_S;
    const ProtocolReply reply = NvExchange(protocol, kNvWriteCommand, item, data);
    if (!reply) {
        status = NV_RWOPFAILED_S;
        return protocol.Fail(Sentence(kNvWriteFailed, {number, reply.Reason()}));
    }
    status = ParseNvReply(reply.payload)->status;
    if (status != NV_DONE_S) return protocol.Fail(Sentence(kNvWriteRejected, {number, NvStatusText(status)}));
    return {};
}

}  // namespace diag
