#include "link/phone_protocol.h"

#include <cstring>

#include "link/frame_codec.h"
#include "platform/backends.h"
#include "platform/files.h"

namespace {

constexpr std::uint8_t kStreamResetCommand = 0x0B;
constexpr std::uint8_t kNvReadCommand = 0x26;
constexpr std::uint8_t kNvWriteCommand = 0x27;
constexpr std::uint32_t kPollMs = 10;
// NV item requests take the device longer to answer in full.
constexpr std::uint32_t kNvPollMs = 30;
constexpr const char* kUnknownErrorReply = "unknow reason";

}  // namespace

std::string IModeCodec::ErrorReplyText(std::uint8_t) const { return kUnknownErrorReply; }

CPhoneProtocol::CPhoneProtocol() : failureLogPath(platform::ByteLogPath()) { ResetRequest(); }

CPhoneProtocol::~CPhoneProtocol() { port.Close(); }

void CPhoneProtocol::SetModeCodec(ProtocolMode codecMode, const IModeCodec* codec)
{
    const auto index = static_cast<std::size_t>(codecMode);
    if (index < std::size(m_codecs)) m_codecs[index] = codec;
}

const IModeCodec* CPhoneProtocol::CodecFor(ProtocolMode codecMode) const
{
    const auto index = static_cast<std::size_t>(codecMode);
    return index < std::size(m_codecs) ? m_codecs[index] : nullptr;
}

void CPhoneProtocol::ResetRequest()
{
    scratch.clear();
    std::memset(bulk, 0, sizeof bulk);
    bulkLength = 0;
    rxLength = 0;
    rxPayloadLength = 0;
    std::memset(rx, 0, sizeof rx);
    txLength = 0;
    std::memset(tx, 0, sizeof tx);
    std::memset(pending, 0, sizeof pending);
}

void CPhoneProtocol::BeginRequest(ProtocolMode requestMode, const IModeCodec& codec, std::uint8_t requestCommand)
{
    ResetRequest();
    mode = requestMode;
    SetModeCodec(requestMode, &codec);
    command = requestCommand;
}

std::uint32_t CPhoneProtocol::BuildFrame()
{
    // In RawDiag mode the caller has placed the payload in the transmit buffer.
    std::vector<std::uint8_t> payload;
    if (mode == ProtocolMode::RawDiag) {
        payload.assign(tx, tx + std::min<std::size_t>(txLength, kTransmitSize));
    } else if (const IModeCodec* codec = CodecFor(mode)) {
        codec->BuildPayload(*this, payload);
    }
    payload.resize(payload.size() + 2);
    frame::AppendCrc(payload.data(), payload.size() - 2);

    std::vector<std::uint8_t> out;
    out.reserve(payload.size() * 2 + 2);
    if (mode == ProtocolMode::Dmss || mode == ProtocolMode::Streaming) out.push_back(frame::kFlag);
    frame::AppendEscaped(payload.data(), payload.size(), out);
    out.push_back(frame::kFlag);

    if (out.size() > kTransmitSize) {
        txLength = 0;
        lastError = kRequestTooLarge;
        return 0;
    }
    std::memcpy(tx, out.data(), out.size());
    txLength = static_cast<std::uint32_t>(out.size());
    return txLength;
}

bool CPhoneProtocol::Exchange(std::uint8_t attempts, std::uint32_t timeoutMs)
{
    const bool built = BuildFrame() != 0;
    if (attempts == 0) return true;
    if (!built) {
        m_lastFailureCode = 1;
        return false;
    }
    for (unsigned attempt = 0; attempt < attempts; ++attempt) {
        const int code = Attempt(timeoutMs);
        if (code == 0) return true;
        m_lastFailureCode = code;
        // Only the streaming reset is logged; the same code in another mode
        // is a different request.
        if (mode == ProtocolMode::Streaming && command == kStreamResetCommand) {
            platform::AppendToFile(failureLogPath, "Log: " + std::to_string(code) + "\r\n");
        }
    }
    return false;
}

int CPhoneProtocol::Attempt(std::uint32_t timeoutMs)
{
    rawReplyLength = 0;
    if (port.Write(tx, txLength) < txLength) {
        lastError = kSendFailed;
        return 1;
    }

    platform::IClock& clock = platform::Clock();
    const bool nvRequest = mode == ProtocolMode::Diag && (tx[0] == kNvReadCommand || tx[0] == kNvWriteCommand);
    const std::uint32_t period = nvRequest ? kNvPollMs : kPollMs;
    const std::uint32_t start = clock.TickCount();
    std::uint32_t count = 0;
    do {
        count = port.BytesWaiting();
        clock.SleepMs(period);
        if (count >= 1 && port.BytesWaiting() == count) break;
    } while (clock.TickCount() - start <= timeoutMs);

    if (count == 0) {
        lastError = kNoReply;
        return 2;
    }
    if (count > kReceiveSize) {
        lastError = kReplyTooLarge;
        return 3;
    }
    const std::uint32_t received = port.Read(rx, count);
    if (received == 0) {
        lastError = kNoReply;
        return 2;
    }

    switch (mode) {
    case ProtocolMode::Diag:
        if (rx[0] != command) {
            const IModeCodec* codec = CodecFor(mode);
            lastError = codec ? codec->ErrorReplyText(rx[0]) : kUnknownErrorReply;
            return kErrorReplyFailure;
        }
        return Unframe(received) ? 0 : 4;
    case ProtocolMode::Dmss:
    case ProtocolMode::Streaming:
        return Unframe(received) ? 0 : 6;
    case ProtocolMode::RawDiag:
        rawReplyLength = static_cast<std::uint16_t>(received);
        rxLength = static_cast<std::uint16_t>(received);
        return 0;
    }
    return 6;
}

bool CPhoneProtocol::Unframe(std::uint32_t count)
{
    rawReplyLength = static_cast<std::uint16_t>(count);

    // Dmss and streaming replies may come without their leading flag.
    std::size_t begin = 0;
    if (mode != ProtocolMode::Diag && count > 0 && rx[0] == frame::kFlag) begin = 1;
    std::vector<std::uint8_t> unescaped;
    unescaped.reserve(count);
    frame::AppendUnescaped(rx + begin, count - begin, unescaped);

    if (unescaped.empty() || unescaped.back() != frame::kFlag) {
        lastError = kNoEndFlag;
        return false;
    }
    unescaped.pop_back();
    if (!frame::CheckCrc(unescaped.data(), unescaped.size())) {
        lastError = kBadCrc;
        return false;
    }

    std::memset(rx, 0, sizeof rx);
    std::memcpy(rx, unescaped.data(), unescaped.size());
    rxLength = 0;
    rxPayloadLength = static_cast<std::uint16_t>(unescaped.size() - 2);
    reply[0] = rxPayloadLength > 0 ? rx[0] : 0;

    const IModeCodec* codec = CodecFor(mode);
    if (!codec) {
        lastError = "No parser for this protocol mode";
        return false;
    }
    return codec->ParseReply(*this);
}
