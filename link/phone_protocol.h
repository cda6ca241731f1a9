#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/serial_port.h"
#include "link/step_result.h"

enum class ProtocolMode : std::int32_t { Diag = 0, Dmss = 1, Streaming = 2, RawDiag = 3 };

using Bytes = std::vector<std::uint8_t>;

// The settling period of the reply poll unless a request asks for another:
// a reply is taken as complete once two byte counts this far apart agree.
inline constexpr std::uint32_t kReplyPollMs = 10;

// One request as `Exchange` sends it.
struct ProtocolRequest {
    ProtocolMode mode = ProtocolMode::Diag;
    // The payload a request builder laid out, command code first; framing is
    // added on the way out.
    std::span<const std::uint8_t> payload;
    // Judges a reply that arrived intact: done when it is accepted, else the
    // reason it fails the attempt (a refusal, a reply cut short). Null
    // accepts every reply.
    StepResult (*refusal)(std::span<const std::uint8_t> reply) = nullptr;
    // The reason given for a DIAG error reply whose first byte is `code`;
    // null leaves the reason empty.
    std::string_view (*errorReplyText)(std::uint8_t code) = nullptr;
    // Requests the device answers in several bursts need a longer settling
    // period, or a reply would be taken before it is whole.
    std::uint32_t pollMs = kReplyPollMs;
    // Whether each failed attempt appends its failure code to the failure log.
    bool logFailedAttempts = false;
};

// Why an exchange failed. The values are the numbers the failure log prints.
enum class ExchangeFailure : int {
    None = 0,
    // The frame was not written in full, or would not fit the transmit buffer.
    NotSent = 1,
    NoReply = 2,
    ReplyTooLarge = 3,
    // A DIAG reply with the request's code that fails unframing or is refused.
    DiagReplyBad = 4,
    // A DIAG error reply: the device did answer, with a refusal of the request.
    ErrorReply = 5,
    // A DMSS or streaming reply that fails unframing or is refused.
    ReplyBad = 6,
};

// The outcome of `Exchange`: the reply, or the failure of the last attempt.
struct [[nodiscard]] ProtocolReply {
    StepResult result = StepResult::Failed({});
    ExchangeFailure failure = ExchangeFailure::None;
    // The unframed payload without its CRC; in RawDiag mode the bytes as
    // they were received.
    Bytes payload;
    // Bytes received for the reply, before unframing.
    std::size_t rawLength = 0;

    explicit operator bool() const { return static_cast<bool>(result); }
    const std::string& Reason() const { return result.Reason(); }
};

// The frame sent for `payload` in `mode`: payload, CRC, escaping, closing
// flag, and an opening flag for Dmss and Streaming. Empty when it would not
// fit the transmit buffer.
[[nodiscard]] Bytes FrameRequest(ProtocolMode mode, std::span<const std::uint8_t> payload);
// Undoes the framing of one received reply: the payload without its CRC, or
// the reason the bytes are no frame. Dmss and streaming replies may come
// without their leading flag.
Result<Bytes> UnframeReply(ProtocolMode mode, std::span<const std::uint8_t> received);

// The packet engine of one download line on the modem's diagnostic port:
// frames a request, sends it, polls for the reply, unframes and checks it.
// Every operation built on it starts with `Begin`, which forgets the reason
// of the operation before, and ends a failure with `Fail`.
class CPhoneProtocol {
public:
    static constexpr std::size_t kReceiveSize = 1024;
    // Room for the largest request (command code, a 1039-byte record and a
    // 1024-byte table) with every byte escaped, plus its CRC and both flags.
    static constexpr std::size_t kTransmitSize = 2 * (1 + 1039 + 1024 + 2) + 2;

    static constexpr const char* kSendFailed = "Port Cannot Send desired data to the Phone";
    static constexpr const char* kNoReply = "Port Cannot Receive Desired Data from the Phone";
    static constexpr const char* kReplyTooLarge = "The Received Data from the Phone is Too Large";
    static constexpr const char* kNoEndFlag = "the Received Data is Wrong without End Flag(0x7e)";
    static constexpr const char* kBadCrc = "the Received Data is Wrong with Wrong CRC Checksum";
    static constexpr const char* kRequestTooLarge = "The Request is Too Large to Send to the Phone";

    CPhoneProtocol(platform::IClock& clock, platform::ISerialPorts& ports);
    virtual ~CPhoneProtocol();
    CPhoneProtocol(const CPhoneProtocol&) = delete;
    CPhoneProtocol& operator=(const CPhoneProtocol&) = delete;

    // The start of every operation that sends a request in `mode`: the last
    // reason is forgotten.
    void Begin(ProtocolMode mode);
    // Sends the request up to `attempts` times, each waiting up to `timeoutMs`
    // for a reply; succeeds with the first reply received intact and not
    // refused. No attempts send nothing and succeed.
    ProtocolReply Exchange(const ProtocolRequest& request, std::uint8_t attempts, std::uint32_t timeoutMs);

    // The reason the last operation failed; empty after a success.
    const std::string& LastError() const { return m_lastError; }
    // Makes `reason` the failing operation's reason, and returns it as the
    // operation's failure.
    StepResult Fail(std::string reason);
    // Forgets the reason at the start of an operation that sends nothing.
    void ClearError() { m_lastError.clear(); }

    // Why the last failed attempt failed; None before any.
    ExchangeFailure LastFailure() const { return m_lastFailure; }
    // The mode of the last request sent: what the device was last spoken to in.
    ProtocolMode Mode() const { return m_mode; }

    // How many operations have begun and how many replies were unframed
    // intact so far: a layer that keeps replies between requests tells from
    // them whether what it kept has gone stale.
    std::uint64_t OperationsBegun() const { return m_operationsBegun; }
    std::uint64_t RepliesUnframed() const { return m_repliesUnframed; }

    CSerialPort port;

    // Where the requests that ask for it log their failed attempts; empty
    // for no log.
    std::string failureLogPath;

private:
    ExchangeFailure Attempt(const ProtocolRequest& request, const Bytes& frame, std::uint32_t timeoutMs,
                            ProtocolReply& reply);

    std::string m_lastError;
    ExchangeFailure m_lastFailure = ExchangeFailure::None;
    ProtocolMode m_mode = ProtocolMode::Diag;
    std::uint64_t m_operationsBegun = 0;
    std::uint64_t m_repliesUnframed = 0;
};
