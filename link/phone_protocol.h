#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/serial_port.h"

enum class ProtocolMode : std::int32_t { Diag = 0, Dmss = 1, Streaming = 2, RawDiag = 3 };

using Bytes = std::vector<std::uint8_t>;

// What a reply parser makes of the bytes: the value, or why there is none
// (the reason may be empty when the device refused without saying why).
template <typename T>
struct [[nodiscard]] Parsed {
    std::optional<T> value;
    std::string reason;

    explicit operator bool() const { return value.has_value(); }
};

// A reply parser's yes or no; a no may carry the device's reason.
struct [[nodiscard]] Verdict {
    bool ok = false;
    std::string reason;

    explicit operator bool() const { return ok; }
};

// One request as `Exchange` sends it.
struct ProtocolRequest {
    ProtocolMode mode = ProtocolMode::Diag;
    // The payload a request builder laid out, command code first; framing is
    // added on the way out.
    std::span<const std::uint8_t> payload;
    // Judges a reply that arrived intact: the reason it fails the attempt (a
    // refusal, a reply cut short), nothing when it is accepted. Null accepts
    // every reply.
    std::optional<std::string> (*refusal)(std::span<const std::uint8_t> reply) = nullptr;
    // The reason given for a DIAG error reply whose first byte is `code`;
    // null gives "unknow reason".
    std::string_view (*errorReplyText)(std::uint8_t code) = nullptr;
};

// The outcome of `Exchange`: the reply, or the failure of the last attempt.
struct [[nodiscard]] ProtocolReply {
    bool ok = false;
    int failureCode = 0;  // 1-6 when the exchange failed
    std::string reason;
    // The unframed payload without its CRC; in RawDiag mode the bytes as
    // they were received.
    Bytes payload;
    // Bytes received for the reply, before unframing.
    std::size_t rawLength = 0;

    explicit operator bool() const { return ok; }
};

// The frame sent for `payload` in `mode`: payload, CRC, escaping, closing
// flag, and an opening flag for Dmss and Streaming. Empty when it would not
// fit the transmit buffer.
[[nodiscard]] Bytes FrameRequest(ProtocolMode mode, std::span<const std::uint8_t> payload);
// Undoes the framing of one received reply: the payload without its CRC, or
// the reason the bytes are no frame. Dmss and streaming replies may come
// without their leading flag.
Parsed<Bytes> UnframeReply(ProtocolMode mode, std::span<const std::uint8_t> received);

// The packet engine of one download line on the modem's diagnostic port:
// frames a request, sends it, polls for the reply, unframes and checks it.
// Every operation built on it starts with `Begin`, which forgets the reason
// of the operation before, and ends a failure with `Fail`.
class CPhoneProtocol {
public:
    static constexpr std::size_t kReceiveSize = 1024;
    static constexpr std::size_t kAckListSize = 64;
    // Room for the largest request (command code, a 1039-byte record and a
    // 1024-byte table) with every byte escaped, plus its CRC and both flags.
    static constexpr std::size_t kTransmitSize = 2 * (1 + 1039 + 1024 + 2) + 2;

    static constexpr const char* kSendFailed = "Port Cannot Send desired data to the Phone";
    static constexpr const char* kNoReply = "Port Cannot Receive Desired Data from the Phone";
    static constexpr const char* kReplyTooLarge = "The Received Data from the Phone is Too Large";
    static constexpr const char* kNoEndFlag = "the Received Data is Wrong without End Flag(0x7e)";
    static constexpr const char* kBadCrc = "the Received Data is Wrong with Wrong CRC Checksum";
    static constexpr const char* kRequestTooLarge = "The Request is Too Large to Send to the Phone";

    // The failure code of a DIAG error reply: the device did answer, with a
    // refusal of the request.
    static constexpr int kErrorReplyFailure = 5;

    CPhoneProtocol();
    virtual ~CPhoneProtocol();
    CPhoneProtocol(const CPhoneProtocol&) = delete;
    CPhoneProtocol& operator=(const CPhoneProtocol&) = delete;

    // The start of every operation that sends a request in `mode`: the last
    // reason is forgotten and the unscanned streaming bytes are wiped.
    void Begin(ProtocolMode mode);
    // Sends the request up to `attempts` times, each waiting up to `timeoutMs`
    // for a reply; succeeds with the first reply received intact and not
    // refused. No attempts send nothing and succeed.
    ProtocolReply Exchange(const ProtocolRequest& request, std::uint8_t attempts, std::uint32_t timeoutMs);

    // The reason the last operation failed; empty after a success.
    const std::string& LastError() const { return m_lastError; }
    // Makes `reason` the failing operation's reason; always false, so a
    // failing operation can end with it.
    bool Fail(std::string reason);
    // Forgets the reason at the start of an operation that sends nothing.
    void ClearError() { m_lastError.clear(); }

    // The failure code of the last failed attempt (1-6), 0 before any.
    int LastFailureCode() const { return m_lastFailureCode; }
    // The mode of the last request sent: what the device was last spoken to in.
    ProtocolMode Mode() const { return m_mode; }

    // Block addresses acknowledged in the last scan of streaming replies,
    // oldest first.
    std::span<const std::uint32_t> Acknowledged() const { return inbox.acknowledged; }

    CSerialPort port;

    // Streaming replies nobody waits for, kept between requests.
    struct Inbox {
        // Bytes read from the port but not yet handed to the frame scanner.
        std::array<std::uint8_t, kReceiveSize> pending{};
        std::uint32_t pendingCount = 0;
        std::uint32_t pendingPosition = 0;
        std::vector<std::uint32_t> acknowledged;
        // The last vendor status frame: its code and four bytes; code 0 once
        // it has been taken or a later reply to a request superseded it.
        std::array<std::uint8_t, 5> status{};
    } inbox;

    // Where failed stream resets are logged.
    std::string failureLogPath;

private:
    int Attempt(const ProtocolRequest& request, const Bytes& frame, std::uint32_t timeoutMs, ProtocolReply& reply);

    std::string m_lastError;
    int m_lastFailureCode = 0;
    ProtocolMode m_mode = ProtocolMode::Diag;
};
