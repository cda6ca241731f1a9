#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "link/phone_protocol.h"
#include "link/sentence.h"

// The DIAG requests sent to a modem running its normal software: pure
// builders of each request's payload and parsers of its reply, and the
// operations that exchange them and, when they fail, wrap the reason in
// their own sentence.
namespace diag {

// The six digits that unlock service programming.
inline constexpr std::string_view kServiceProgrammingCode = "000000";

inline constexpr std::uint8_t kNvReadCommand = 0x26;
inline constexpr std::uint8_t kNvWriteCommand = 0x27;

// The vendor subsystem of the download check and the challenge.
inline constexpr std::uint8_t kCheckSubsystem = 0xA3;

// The device modes of the mode control request.
inline constexpr std::uint16_t kModeOffline = 1;
inline constexpr std::uint16_t kModeReset = 2;
inline constexpr std::uint16_t kModeOnline = 4;

inline constexpr std::size_t kNvDataSize = 128;
inline constexpr std::size_t kCheckBlockSize = 128;
inline constexpr std::size_t kChallengeSize = 8;
inline constexpr std::size_t kChallengeAnswerSize = 16;

// The NV request and reply layout behind the command code: item (u16),
// data, status (u16).
inline constexpr std::size_t kNvRecordSize = 2 + kNvDataSize + 2;

// The device's four software versions: nine NUL-terminated text fields of 31
// bytes, then spare bytes. A 31-character ninth field (the product text) is
// terminated by the first spare byte.
struct VersionRecord {
    static constexpr std::size_t kFieldCount = 9;
    static constexpr std::size_t kFieldSize = 31;
    static constexpr std::size_t kSpareSize = 23;

    char fields[kFieldCount][kFieldSize] = {};
    char spare[kSpareSize] = {};

    // Field `number` (1 to 9) up to its terminator; empty for other numbers.
    std::string Field(std::size_t number) const;
};
static_assert(sizeof(VersionRecord) == 302);

// The software version block; the device's text is at its start.
struct SoftwareVersion {
    static constexpr std::size_t kSize = 256;

    char bytes[kSize] = {};

    // The text up to the first NUL, at most the whole block.
    std::string Text() const;
};

// Request builders: each appends its request's payload to `out`.
// The version request is answered with a frame in every DIAG mode (its
// data, or an error reply that quotes it).
void BuildVersionRequest(Bytes& out);
void BuildEsnRequest(Bytes& out);
void BuildSoftwareVersionRequest(Bytes& out);
void BuildFourVersionsRequest(Bytes& out);
void BuildDownloaderRequest(Bytes& out);
void BuildModeControlRequest(Bytes& out, std::uint16_t mode);
void Build5CRequest(Bytes& out);
// Carries `kServiceProgrammingCode`.
void BuildSpcRequest(Bytes& out);
void BuildSubsystemStateRequest(Bytes& out);
// The vendor subsystem requests: 4B, subsystem, operation, 00, then `data`.
void BuildVendorRequest(Bytes& out, std::uint8_t subsystem, std::uint8_t operation, std::span<const std::uint8_t> data);

// Reply parsers, over the unframed payload; bytes the device did not send
// read as zero.
std::uint32_t ParseEsn(std::span<const std::uint8_t> reply);
SoftwareVersion ParseSoftwareVersion(std::span<const std::uint8_t> reply);
// The field widths differ with the device's software generation, which the
// reply's length on the wire (`rawLength`) tells apart.
VersionRecord ParseFourVersions(std::span<const std::uint8_t> reply, std::size_t rawLength);
// True when the device reports subsystem state 0.
[[nodiscard]] bool ParseSubsystemState(std::span<const std::uint8_t> reply);
// The reason of a DIAG error reply whose first byte is `code`.
std::string_view ErrorReplyText(std::uint8_t code);

// The vendor replies, over the bytes as received (frames the device may
// escape). A failure without a reason is a reply of the wrong form.
StepResult ParseDownloadCheck(std::span<const std::uint8_t> raw, std::uint8_t subsystem);
Result<std::array<std::uint8_t, kChallengeSize>> ParseChallengeValue(std::span<const std::uint8_t> raw);
// The plain acknowledgement: the request's header and a zero status.
[[nodiscard]] bool ParseVendorAck(std::span<const std::uint8_t> raw, std::uint8_t subsystem, std::uint8_t operation);

// The exchange of every DIAG operation: a fresh start in Diag mode, the
// device's error replies named, `refusal` judging the replies that arrive,
// which are complete once the input settles for `pollMs`.
ProtocolReply ExchangeDiag(CPhoneProtocol& protocol, std::span<const std::uint8_t> payload, std::uint8_t attempts,
                           std::uint32_t timeoutMs,
                           StepResult (*refusal)(std::span<const std::uint8_t>) = nullptr,
                           std::uint32_t pollMs = kReplyPollMs);

// Requests in Diag mode.
// `esn` is 0xFFFFFFFF when the request fails.
StepResult GetEsn(CPhoneProtocol& protocol, std::uint32_t& esn);
// `version` is all zero when the request fails.
StepResult GetSoftwareVersion(CPhoneProtocol& protocol, SoftwareVersion& version);
// `record` is all zero when the request fails.
StepResult GetFourVersions(CPhoneProtocol& protocol, VersionRecord& record);
StepResult ResetPhone(CPhoneProtocol& protocol);
StepResult SetOffline(CPhoneProtocol& protocol);
StepResult SetOnline(CPhoneProtocol& protocol);
// Leaves the device in its boot downloader.
StepResult SwitchToDownloader(CPhoneProtocol& protocol);
StepResult Request5C(CPhoneProtocol& protocol);
// Sends `kServiceProgrammingCode`.
StepResult SendSpc(CPhoneProtocol& protocol);
// Done when the device reports subsystem state 0; any other state fails
// without a reason.
StepResult PollSubsystemState(CPhoneProtocol& protocol);

// Vendor subsystem requests, sent in RawDiag mode. A reply of the wrong form
// fails without a reason.
StepResult DownloadCheck(CPhoneProtocol& protocol, std::span<const std::uint8_t, kCheckBlockSize> checkBlock,
                         std::uint8_t subsystem);
StepResult SetVendorFlag(CPhoneProtocol& protocol, std::uint8_t value);
StepResult SetAutorun(CPhoneProtocol& protocol, std::uint8_t value);
// `value` is all zero unless the device answered with the right header.
StepResult GetChallengeValue(CPhoneProtocol& protocol, std::span<std::uint8_t, kChallengeSize> value);
StepResult SendChallengeAnswer(CPhoneProtocol& protocol,
                               std::span<const std::uint8_t, kChallengeAnswerSize> answer);

// Writes the plain AT switch onto the diagnostic port; done when the port
// echoes it and answers OK, in any letter case, else fails without a reason.
StepResult SwitchPortToDiag(CPhoneProtocol& protocol);
// GetEsn, else the AT switch, else GetEsn once more.
StepResult CheckCommunication(CPhoneProtocol& protocol);

}  // namespace diag
