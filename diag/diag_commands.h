#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "link/phone_protocol.h"

// The DIAG requests sent to a modem running its normal software. Each
// operation sets up the protocol object itself (mode, codec, request record),
// exchanges one request and, when it fails, wraps the reason in its own
// sentence in `lastError`.
namespace diag {

// The six digits that unlock service programming.
inline constexpr std::string_view kServiceProgrammingCode = "000000";

inline constexpr std::uint8_t kNvReadCommand = 0x26;
inline constexpr std::uint8_t kNvWriteCommand = 0x27;

inline constexpr std::size_t kNvDataSize = 128;
inline constexpr std::size_t kCheckBlockSize = 128;
inline constexpr std::size_t kChallengeSize = 8;
inline constexpr std::size_t kChallengeAnswerSize = 16;

// NV request record: item (u16), data, status (u16) behind the command code.
inline constexpr std::size_t kNvParamItem = 0;
inline constexpr std::size_t kNvParamData = 2;
inline constexpr std::size_t kNvParamStatus = kNvParamData + kNvDataSize;
inline constexpr std::size_t kNvParamSize = kNvParamStatus + 2;

// Where the parser leaves a reply's fields in the reply area; the reply code
// is at 0 and every field keeps its offset from the reply payload, except the
// four versions, which are laid out as a `VersionRecord`.
inline constexpr std::size_t kReplyEsn = 1;
inline constexpr std::size_t kReplyModeEcho = 1;
inline constexpr std::size_t kReplySubsystemState = 4;
inline constexpr std::size_t kReplySoftwareVersion = 12;
inline constexpr std::size_t kReplyVersionRecord = 1;
inline constexpr std::size_t kReplyNvItem = 1 + kNvParamItem;
inline constexpr std::size_t kReplyNvData = 1 + kNvParamData;
inline constexpr std::size_t kReplyNvStatus = 1 + kNvParamStatus;

// Raised when an NV reply ends before its status: its data cannot be trusted.
inline constexpr const char* kNvReplyIncomplete = "the Received NV Item Data is Incomplete";

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
static_assert(kReplyVersionRecord + sizeof(VersionRecord) <= CPhoneProtocol::kReplySize);

// The software version block; the device's text is at its start.
struct SoftwareVersion {
    static constexpr std::size_t kSize = 256;

    char bytes[kSize] = {};

    // The text up to the first NUL, at most the whole block.
    std::string Text() const;
};
static_assert(kReplySoftwareVersion + SoftwareVersion::kSize <= CPhoneProtocol::kReplySize);

// The request builder and reply parser of `ProtocolMode::Diag`, NV items
// included. Stateless; one instance serves every line.
const IModeCodec& DiagCodec();

// Fills each %d or %s of `format`, in turn, with the next of `values`.
std::string FillIn(std::string_view format, std::initializer_list<std::string_view> values);
// Formats a failing operation's sentence into the scratch string and makes
// it the last error text; always false, for `return ReportFailure(...)`.
bool ReportFailure(CPhoneProtocol& protocol, std::string_view format, std::initializer_list<std::string_view> values);

// Requests in Diag mode.
// `esn` is 0xFFFFFFFF when the request fails.
bool GetEsn(CPhoneProtocol& protocol, std::uint32_t& esn);
// `version` is all zero when the request fails.
bool GetSoftwareVersion(CPhoneProtocol& protocol, SoftwareVersion& version);
// `record` is all zero when the request fails.
bool GetFourVersions(CPhoneProtocol& protocol, VersionRecord& record);
bool ResetPhone(CPhoneProtocol& protocol);
bool SetOffline(CPhoneProtocol& protocol);
bool SetOnline(CPhoneProtocol& protocol);
// Leaves the device in its boot downloader.
bool SwitchToDownloader(CPhoneProtocol& protocol);
bool Request5C(CPhoneProtocol& protocol);
// Sends `kServiceProgrammingCode`.
bool SendSpc(CPhoneProtocol& protocol);
// True when the device reports subsystem state 0.
bool PollSubsystemState(CPhoneProtocol& protocol);

// Vendor subsystem requests, whose replies are examined as received. A reply
// with the wrong header gives false and leaves the last error text alone.
bool DownloadCheck(CPhoneProtocol& protocol, std::span<const std::uint8_t, kCheckBlockSize> checkBlock,
                   std::uint8_t subsystem);
bool SetVendorFlag(CPhoneProtocol& protocol, std::uint8_t value);
bool SetAutorun(CPhoneProtocol& protocol, std::uint8_t value);
// `value` is all zero unless the device answered with the right header.
bool GetChallengeValue(CPhoneProtocol& protocol, std::span<std::uint8_t, kChallengeSize> value);
bool SendChallengeAnswer(CPhoneProtocol& protocol, std::span<const std::uint8_t, kChallengeAnswerSize> answer);

// Writes the plain AT switch onto the diagnostic port; true when the port
// echoes it and answers OK, in any letter case.
bool SwitchPortToDiag(CPhoneProtocol& protocol);
// GetEsn, else the AT switch, else GetEsn once more.
bool CheckCommunication(CPhoneProtocol& protocol);

}  // namespace diag
