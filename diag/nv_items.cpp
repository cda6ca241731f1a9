#include "diag/nv_items.h"

#include <algorithm>
#include <string>

namespace diag {
namespace {

constexpr std::uint8_t kNvAttempts = 3;
constexpr std::uint32_t kNvTimeoutMs = 2000;

constexpr const char* kReadRejected = "cannot read #%d NV Item, since %s";
constexpr const char* kReadFailed = "cannot read #%d NVItem, since %s";
constexpr const char* kWriteRejected = "Cannot Write #%d NVItem, Since %s";
constexpr const char* kWriteFailed = "Cannot write #%d NVItem, Since %s";

bool NvExchange(CPhoneProtocol& protocol, std::uint8_t command, std::uint16_t item,
                std::span<const std::uint8_t, kNvDataSize> data)
{
    protocol.BeginRequest(ProtocolMode::Diag, DiagCodec(), command);
    protocol.params[kNvParamItem] = static_cast<std::uint8_t>(item);
    protocol.params[kNvParamItem + 1] = static_cast<std::uint8_t>(item >> 8);
    std::copy(data.begin(), data.end(), protocol.params + kNvParamData);
    protocol.params[kNvParamStatus] = 0;
    protocol.params[kNvParamStatus + 1] = 0;
    return protocol.Exchange(kNvAttempts, kNvTimeoutMs);
}

std::uint16_t ReplyStatus(const CPhoneProtocol& protocol)
{
    return static_cast<std::uint16_t>(protocol.reply[kReplyNvStatus] | protocol.reply[kReplyNvStatus + 1] << 8);
}

}  // namespace

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

bool NvRead(CPhoneProtocol& protocol, std::uint16_t item, std::span<std::uint8_t, kNvDataSize> data,
            std::uint16_t& status)
{
    const std::string number = std::to_string(item);
    if (!NvExchange(protocol, kNvReadCommand, item, data)) {
        status = NV_RWOPFAILED_S;
        std::fill(data.begin(), data.end(), std::uint8_t{0});
        return ReportFailure(protocol, kReadFailed, {number, protocol.lastError});
    }
    status = ReplyStatus(protocol);
    if (status != NV_DONE_S) {
        std::fill(data.begin(), data.end(), std::uint8_t{0});
        return ReportFailure(protocol, kReadRejected, {number, NvStatusText(status)});
    }
    std::copy(protocol.reply + kReplyNvData, protocol.reply + kReplyNvData + kNvDataSize, data.begin());
    return true;
}

bool NvWrite(CPhoneProtocol& protocol, std::uint16_t item, std::span<const std::uint8_t, kNvDataSize> data,
             std::uint16_t& status)
{
    const std::string number = std::to_string(item);
    status = NV_DONE_S;
    if (!NvExchange(protocol, kNvWriteCommand, item, data)) {
        status = NV_RWOPFAILED_S;
        return ReportFailure(protocol, kWriteFailed, {number, protocol.lastError});
    }
    status = ReplyStatus(protocol);
    if (status != NV_DONE_S) return ReportFailure(protocol, kWriteRejected, {number, NvStatusText(status)});
    return true;
}

}  // namespace diag
