#include "link/phone_protocol.h"

#include <algorithm>

#include "link/frame_codec.h"
#include "platform/files.h"

namespace {

std::uint8_t CommandOf(const ProtocolRequest& request) { return request.payload.empty() ? 0 : request.payload[0]; }

}  // namespace

Bytes FrameRequest(ProtocolMode mode, std::span<const std::uint8_t> payload)
{
    const std::uint16_t crc = frame::Crc16(payload.data(), payload.size());
    const std::uint8_t crcBytes[] = {static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)};

    Bytes out;
    out.reserve((payload.size() + 2) * 2 + 2);
    if (mode == ProtocolMode::Dmss || mode == ProtocolMode::Streaming) out.push_back(frame::kFlag);
    frame::AppendEscaped(payload.data(), payload.size(), out);
    frame::AppendEscaped(crcBytes, sizeof crcBytes, out);
    out.push_back(frame::kFlag);
    if (out.size() > CPhoneProtocol::kTransmitSize) out.clear();
    return out;
}

Result<Bytes> UnframeReply(ProtocolMode mode, std::span<const std::uint8_t> received)
{
    std::size_t begin = 0;
    if (mode != ProtocolMode::Diag && !received.empty() && received[0] == frame::kFlag) begin = 1;
    Bytes unescaped;
    unescaped.reserve(received.size());
    frame::AppendUnescaped(received.data() + begin, received.size() - begin, unescaped);

    if (unescaped.empty() || unescaped.back() != frame::kFlag) return StepResult::Failed(CPhoneProtocol::kNoEndFlag);
    unescaped.pop_back();
    if (!frame::CheckCrc(unescaped.data(), unescaped.size())) return StepResult::Failed(CPhoneProtocol::kBadCrc);
    unescaped.resize(unescaped.size() - 2);
    return unescaped;
}

CPhoneProtocol::CPhoneProtocol(platform::IClock& clock, platform::ISerialPorts& ports)
    : port(clock, ports)
{
}

CPhoneProtocol::~CPhoneProtocol() { port.Close(); }

void CPhoneProtocol::Begin(ProtocolMode mode)
{
    m_lastError.clear();
    m_mode = mode;
    ++m_operationsBegun;
}

StepResult CPhoneProtocol::Fail(std::string reason)
{
    m_lastError = reason;
    return StepResult::Failed(std::move(reason));
}

ProtocolReply CPhoneProtocol::Exchange(const ProtocolRequest& request, std::uint8_t attempts, std::uint32_t timeoutMs)
{
    m_mode = request.mode;
    ProtocolReply reply;
    const Bytes frame = FrameRequest(request.mode, request.payload);
    if (attempts == 0) {
        reply.result = {};
        return reply;
    }
    if (frame.empty()) {
        m_lastFailure = reply.failure = ExchangeFailure::NotSent;
        reply.result = StepResult::Failed(kRequestTooLarge);
        return reply;
    }
    for (unsigned attempt = 0; attempt < attempts; ++attempt) {
        const ExchangeFailure failure = Attempt(request, frame, timeoutMs, reply);
        if (failure == ExchangeFailure::None) {
            reply.result = {};
            reply.failure = ExchangeFailure::None;
            return reply;
        }
        m_lastFailure = reply.failure = failure;
        if (request.logFailedAttempts && !failureLogPath.empty()) {
            // The log is a help for support; the request's own result stands.
            const std::string line = "Log: " + std::to_string(static_cast<int>(failure)) + "\r\n";
            static_cast<void>(platform::AppendToFile(failureLogPath, line));
        }
    }
    return reply;
}

ExchangeFailure CPhoneProtocol::Attempt(const ProtocolRequest& request, const Bytes& frame, std::uint32_t timeoutMs,
                            ProtocolReply& reply)
{
    reply.payload.clear();
    reply.rawLength = 0;
    const auto length = static_cast<std::uint32_t>(frame.size());
    if (port.Write(frame.data(), length) < length) {
        reply.result = StepResult::Failed(kSendFailed);
        return ExchangeFailure::NotSent;
    }

    const std::uint32_t count = port.WaitForSettledInput(0, request.pollMs, timeoutMs).count;
    if (count == 0) {
        reply.result = StepResult::Failed(kNoReply);
        return ExchangeFailure::NoReply;
    }
    if (count > kReceiveSize) {
        reply.result = StepResult::Failed(kReplyTooLarge);
        return ExchangeFailure::ReplyTooLarge;
    }
    Bytes received(count);
    received.resize(port.Read(received.data(), count));
    if (received.empty()) {
        reply.result = StepResult::Failed(kNoReply);
        return ExchangeFailure::NoReply;
    }
    reply.rawLength = received.size();

    const ExchangeFailure damaged =
        request.mode == ProtocolMode::Diag ? ExchangeFailure::DiagReplyBad : ExchangeFailure::ReplyBad;
    switch (request.mode) {
    case ProtocolMode::RawDiag:
        reply.payload = std::move(received);
        return ExchangeFailure::None;
    case ProtocolMode::Diag:
        // Compared as received: a reply opening with a flag is an error reply too.
        if (received[0] != CommandOf(request)) {
            reply.result = StepResult::Failed(
                std::string(request.errorReplyText ? request.errorReplyText(received[0]) : std::string_view{}));
            return ExchangeFailure::ErrorReply;
        }
        break;
    case ProtocolMode::Dmss:
    case ProtocolMode::Streaming:
        break;
    }
    Result<Bytes> unframed = UnframeReply(request.mode, received);
    if (!unframed) {
        reply.result = StepResult::Failed(unframed.Reason());
        return damaged;
    }
    reply.payload = std::move(*unframed);
    ++m_repliesUnframed;
    if (request.refusal) {
        if (StepResult judged = request.refusal(reply.payload); !judged) {
            reply.result = std::move(judged);
            reply.payload.clear();
            return damaged;
        }
    }
    return ExchangeFailure::None;
}
