#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/serial_port.h"

enum class ProtocolMode : std::int32_t { Diag = 0, Dmss = 1, Streaming = 2, RawDiag = 3 };

class CPhoneProtocol;

// The request layouts and reply parsers of one protocol mode. `Exchange`
// frames and unframes; the codec knows what the bytes mean.
class IModeCodec {
public:
    virtual ~IModeCodec() = default;
    // Appends the payload for the request record's command code; a code the
    // codec does not know appends nothing.
    virtual void BuildPayload(const CPhoneProtocol& protocol, std::vector<std::uint8_t>& payload) const = 0;
    // Parses the unframed reply in the receive buffer into the reply area.
    // On failure it leaves the reason in `lastError` and returns false.
    virtual bool ParseReply(CPhoneProtocol& protocol) const = 0;
    // The reason given for an error reply whose first byte is `code`.
    virtual std::string ErrorReplyText(std::uint8_t code) const;
};

// The packet engine of one download line on the modem's diagnostic port:
// builds a request frame, sends it, polls for the reply, unframes, checks and
// parses it. Failures leave a readable reason in `lastError`, which is only
// ever replaced by the next failure, never cleared.
class CPhoneProtocol {
public:
    static constexpr std::size_t kRequestParamSize = 1039;
    static constexpr std::size_t kReplySize = 304;
    static constexpr std::size_t kReceiveSize = 1024;
    static constexpr std::size_t kBulkSize = 1024;
    static constexpr std::size_t kAckListSize = 64;
    // Room for the largest request the record and bulk data can describe with
    // every byte escaped, plus its CRC and both flags.
    static constexpr std::size_t kTransmitSize = 2 * (1 + kRequestParamSize + kBulkSize + 2) + 2;

    static constexpr const char* kSendFailed = "Port Cannot Send desired data to the Phone";
    static constexpr const char* kNoReply = "Port Cannot Receive Desired Data from the Phone";
    static constexpr const char* kReplyTooLarge = "The Received Data from the Phone is Too Large";
    static constexpr const char* kNoEndFlag = "the Received Data is Wrong without End Flag(0x7e)";
    static constexpr const char* kBadCrc = "the Received Data is Wrong with Wrong CRC Checksum";
    static constexpr const char* kRequestTooLarge = "The Request is Too Large to Send to the Phone";

    CPhoneProtocol();
    virtual ~CPhoneProtocol();
    CPhoneProtocol(const CPhoneProtocol&) = delete;
    CPhoneProtocol& operator=(const CPhoneProtocol&) = delete;

    // Installs the request layouts and reply parsers of a mode (not RawDiag,
    // whose payload the caller puts into the transmit buffer itself).
    void SetModeCodec(ProtocolMode mode, const IModeCodec* codec);

    // Clears the per-request buffers; keeps the mode, the last error text, the
    // reply area, the acknowledged addresses and the pending position.
    void ResetRequest();
    // The start of every command operation: a clean request of `command` in
    // `requestMode`, laid out and parsed by `codec`.
    void BeginRequest(ProtocolMode requestMode, const IModeCodec& codec, std::uint8_t requestCommand);
    // Turns the request record into the transmit frame; returns its length,
    // 0 when the frame would not fit (the reason is in `lastError`).
    std::uint32_t BuildFrame();
    // Sends the request up to `attempts` times, each waiting up to `timeoutMs`
    // for a reply; true once a reply is received, checked and parsed.
    bool Exchange(std::uint8_t attempts, std::uint32_t timeoutMs);

    // The failure code of the last failed attempt (1-6), 0 before any.
    int LastFailureCode() const { return m_lastFailureCode; }
    // The failure code of a DIAG error reply: the device did answer, with a
    // refusal of the request.
    static constexpr int kErrorReplyFailure = 5;

    CSerialPort port;

    // Extras of the two vendor streaming requests.
    std::uint8_t checksumLow = 0;
    std::uint8_t checksumHigh = 0;
    std::uint32_t vendorValue = 0;  // sent most significant byte first

    // Block addresses acknowledged by the flash programmer.
    std::uint8_t ackCount = 0;
    std::uint32_t ackAddresses[kAckListSize] = {};

    // The request record: command code, then its parameters at fixed places.
    std::uint8_t command = 0;
    std::uint8_t params[kRequestParamSize] = {};

    // Reply code, then the fields the parser extracts.
    std::uint8_t reply[kReplySize] = {};

    std::uint32_t txLength = 0;
    std::uint8_t tx[kTransmitSize] = {};

    // The received reply. After unframing, `rx` holds the unescaped payload
    // followed by its CRC, `rxPayloadLength` counts the payload alone and
    // `rxLength` is the parser's read position.
    std::uint16_t rxLength = 0;
    std::uint16_t rxPayloadLength = 0;
    std::uint8_t rx[kReceiveSize] = {};

    std::string lastError;
    std::string scratch;

    ProtocolMode mode = ProtocolMode::Diag;

    // Large parameter blocks (partition table, multi-image header).
    std::uint8_t bulk[kBulkSize] = {};
    std::uint32_t bulkLength = 0;

    // Bytes received for the last reply, before unframing.
    std::uint16_t rawReplyLength = 0;

    // Received bytes not yet consumed by the streaming frame reader.
    std::uint8_t pending[kReceiveSize] = {};
    std::uint32_t pendingCount = 0;
    std::uint32_t pendingPosition = 0;

    // Where failed stream resets are logged.
    std::string failureLogPath;

private:
    const IModeCodec* CodecFor(ProtocolMode mode) const;
    int Attempt(std::uint32_t timeoutMs);
    bool Unframe(std::uint32_t count);

    const IModeCodec* m_codecs[3] = {};
    int m_lastFailureCode = 0;
};
