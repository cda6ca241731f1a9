#include "diag/diag_commands.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "link/frame_codec.h"

namespace diag {
namespace {

constexpr std::uint8_t kVersionCommand = 0x00;
constexpr std::uint8_t kEsnCommand = 0x01;
constexpr std::uint8_t kModeControlCommand = 0x29;
constexpr std::uint8_t kFourVersionsCommand = 0x39;
constexpr std::uint8_t kDownloaderCommand = 0x3A;
constexpr std::uint8_t kSpcCommand = 0x41;
constexpr std::uint8_t kSubsystemCommand = 0x4B;
constexpr std::uint8_t k5CCommand = 0x5C;
constexpr std::uint8_t kSoftwareVersionCommand = 0x7C;

constexpr std::array<std::uint8_t, 3> kSubsystemStateParams{0x04, 0x0E, 0x00};
constexpr std::array<std::uint8_t, 5> k5CParams{0x01, 0x00, 0xC2, 0x01, 0x00};

// Subsystems of the vendor requests sent in RawDiag mode.
constexpr std::uint8_t kVendorFlagSubsystem = 0xAA;
constexpr std::uint8_t kAutorunSubsystem = 0xA1;

constexpr std::uint8_t kDownloadCheckOperation = 0x05;
constexpr std::uint8_t kChallengeOperation = 0x06;
constexpr std::uint8_t kChallengeAnswerOperation = 0x07;
constexpr std::uint8_t kPlainOperation = 0x00;

// Where the reply fields sit in the unframed payload.
constexpr std::size_t kEsnAt = 1;
constexpr std::size_t kSubsystemStateAt = 4;
constexpr std::size_t kSoftwareVersionAt = 12;
constexpr std::size_t kVendorHeaderSize = 4;

constexpr const char* kEsnFailed = "Cannot Get the ESN Number of the Phone, Since %s";
constexpr const char* kSoftwareVersionFailed = "Cannot get software version from the mobile, Since %s";
constexpr const char* kFourVersionsFailed = "Cannot get four software version from the mobile, Since %s";
constexpr const char* kResetFailed = "Cannot Reset the Phone, Since %s";
constexpr const char* kOfflineFailed = "Cannot Put the Phone Offline, Since %s";
constexpr const char* kDownloaderFailed = "Cannot Switch to Downloader, Since %s";
constexpr const char* kDownloadCheckFailed = "Cannot pass the download check, Since %s";
constexpr const char* kAutorunFailed = "Cannot Set Autorun , Since %s";
constexpr const char* kChallengeFailed = "Cannot get value from the mobile, Since %s";
constexpr const char* kCommunicationFailed = "Cannot communicate with the mobile, Since %s";

constexpr std::string_view kPortSwitch = "AT$QCDMG\r";
constexpr std::string_view kPortSwitchAnswer = "AT$QCDMG\r\r\nOK\r\n";
constexpr std::uint32_t kPortSwitchWaitMs = 100;

// Reads a reply payload front to back; bytes the device did not send read
// as zero.
class ReplyReader {
public:
    ReplyReader(std::span<const std::uint8_t> reply, std::size_t from) : m_reply(reply), m_at(from) {}

    std::uint8_t Next() { return m_at < m_reply.size() ? m_reply[m_at++] : 0; }
    void Into(std::uint8_t* out, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) out[i] = Next();
    }
    // Skips a separator byte when one follows; it is optional.
    void SkipZero()
    {
        if (m_at < m_reply.size() && m_reply[m_at] == 0) ++m_at;
    }

private:
    std::span<const std::uint8_t> m_reply;
    std::size_t m_at;
};

std::span<const std::size_t> FourVersionsWidths(std::size_t rawLength)
{
    static constexpr std::size_t kOldest[] = {22, 22, 24, 24};
    static constexpr std::size_t kFour[] = {30, 30, 30, 30};
    static constexpr std::size_t kEight[] = {30, 30, 30, 30, 30, 30, 30, 30};
    static constexpr std::size_t kNine[] = {30, 30, 30, 30, 30, 30, 30, 30, 31};
    if (rawLength < 131) return kOldest;
    if (rawLength <= 240) return kFour;
    if (rawLength <= 290) return kEight;
    return kNine;
}

void Append(Bytes& out, std::uint8_t command, std::span<const std::uint8_t> params)
{
    out.push_back(command);
    out.insert(out.end(), params.begin(), params.end());
}

ProtocolReply SimpleExchange(CPhoneProtocol& protocol, void (*build)(Bytes&), std::uint32_t timeoutMs)
{
    Bytes payload;
    build(payload);
    return ExchangeDiag(protocol, payload, 1, timeoutMs);
}

StepResult ModeControl(CPhoneProtocol& protocol, std::uint16_t mode, std::uint32_t timeoutMs, const char* failure)
{
    Bytes payload;
    BuildModeControlRequest(payload, mode);
    const ProtocolReply reply = ExchangeDiag(protocol, payload, 1, timeoutMs);
    if (!reply) return protocol.Fail(Sentence(failure, {reply.Reason()}));
    return {};
}

ProtocolReply RawExchange(CPhoneProtocol& protocol, std::uint8_t subsystem, std::uint8_t operation,
                          std::span<const std::uint8_t> data, std::uint8_t attempts, std::uint32_t timeoutMs)
{
    Bytes payload;
    BuildVendorRequest(payload, subsystem, operation, data);
    protocol.Begin(ProtocolMode::RawDiag);
    return protocol.Exchange({ProtocolMode::RawDiag, payload}, attempts, timeoutMs);
}

// The vendor reply with every escape undone; random values may hold 0x7E or
// 0x7D and arrive escaped.
Bytes Unescaped(std::span<const std::uint8_t> raw)
{
    Bytes reply;
    frame::AppendUnescaped(raw.data(), raw.size(), reply);
    return reply;
}

bool HasVendorHeader(std::span<const std::uint8_t> reply, std::uint8_t subsystem, std::uint8_t operation)
{
    return reply.size() >= kVendorHeaderSize && reply[0] == kSubsystemCommand && reply[1] == subsystem &&
           reply[2] == operation && reply[3] == 0x00;
}

// A vendor request's outcome: a reply of the wrong form fails without a reason.
StepResult VendorAck(std::span<const std::uint8_t> raw, std::uint8_t subsystem, std::uint8_t operation)
{
    if (!ParseVendorAck(raw, subsystem, operation)) return StepResult::Failed({});
    return {};
}

}  // namespace

std::string VersionRecord::Field(std::size_t number) const
{
    if (number < 1 || number > kFieldCount) return {};
    const char* field = fields[number - 1];
    return std::string(field, std::find(field, field + kFieldSize, '\0'));
}

std::string SoftwareVersion::Text() const { return std::string(bytes, std::find(bytes, bytes + kSize, '\0')); }

void BuildVersionRequest(Bytes& out) { out.push_back(kVersionCommand); }
void BuildEsnRequest(Bytes& out) { out.push_back(kEsnCommand); }
void BuildSoftwareVersionRequest(Bytes& out) { out.push_back(kSoftwareVersionCommand); }
void BuildFourVersionsRequest(Bytes& out) { out.push_back(kFourVersionsCommand); }
void BuildDownloaderRequest(Bytes& out) { out.push_back(kDownloaderCommand); }

void BuildModeControlRequest(Bytes& out, std::uint16_t mode)
{
    const std::uint8_t params[] = {static_cast<std::uint8_t>(mode), static_cast<std::uint8_t>(mode >> 8)};
    Append(out, kModeControlCommand, params);
}

void Build5CRequest(Bytes& out) { Append(out, k5CCommand, k5CParams); }

void BuildSpcRequest(Bytes& out)
{
    const auto* digits = reinterpret_cast<const std::uint8_t*>(kServiceProgrammingCode.data());
    Append(out, kSpcCommand, {digits, kServiceProgrammingCode.size()});
}

void BuildSubsystemStateRequest(Bytes& out) { Append(out, kSubsystemCommand, kSubsystemStateParams); }

void BuildVendorRequest(Bytes& out, std::uint8_t subsystem, std::uint8_t operation, std::span<const std::uint8_t> data)
{
    const std::uint8_t header[] = {subsystem, operation, 0x00};
    Append(out, kSubsystemCommand, header);
    out.insert(out.end(), data.begin(), data.end());
}

std::uint32_t ParseEsn(std::span<const std::uint8_t> reply)
{
    ReplyReader in(reply, kEsnAt);
    std::uint32_t esn = 0;
    for (int shift = 0; shift < 32; shift += 8) esn |= static_cast<std::uint32_t>(in.Next()) << shift;
    return esn;
}

SoftwareVersion ParseSoftwareVersion(std::span<const std::uint8_t> reply)
{
    SoftwareVersion version;
    ReplyReader(reply, kSoftwareVersionAt).Into(reinterpret_cast<std::uint8_t*>(version.bytes), SoftwareVersion::kSize);
    return version;
}

VersionRecord ParseFourVersions(std::span<const std::uint8_t> reply, std::size_t rawLength)
{
    VersionRecord record;
    ReplyReader in(reply, 1);
    std::size_t index = 0;
    for (const std::size_t width : FourVersionsWidths(rawLength)) {
        in.Into(reinterpret_cast<std::uint8_t*>(record.fields[index++]), width);
        in.SkipZero();
    }
    return record;
}

bool ParseSubsystemState(std::span<const std::uint8_t> reply)
{
    // A reply cut short before the state byte does not report state 0.
    return reply.size() > kSubsystemStateAt && reply[kSubsystemStateAt] == 0;
}

std::string_view ErrorReplyText(std::uint8_t code)
{
    switch (code) {
    case 0x13: return "Bad command";
    case 0x14: return "The Request packet has invalid or inconsistent parameters";
    case 0x15: return "The Request packet has an invalid length";
    case 0x18: return "the DMSS isn't in a particular mode";
    case 0x42: return "the correct SPC has not yet been entered to unlock service programming";
    case 0x47: return "the correct Security Password has not yet been entered to unlock the phone";
    default: return "unknow reason";
    }
}

StepResult ParseDownloadCheck(std::span<const std::uint8_t> raw, std::uint8_t subsystem)
{
    // The result byte follows the header and must have been received too.
    const Bytes reply = Unescaped(raw);
    if (!HasVendorHeader(reply, subsystem, kDownloadCheckOperation) || reply.size() <= kVendorHeaderSize) {
        return StepResult::Failed({});
    }
    switch (reply[kVendorHeaderSize]) {
    case 0: return {};
    case 1: return StepResult::Failed("public key error");
    case 2: return StepResult::Failed("main ver error");
    case 3: return StepResult::Failed("compare ver error");
    default: return StepResult::Failed({});
    }
}

Result<std::array<std::uint8_t, kChallengeSize>> ParseChallengeValue(std::span<const std::uint8_t> raw)
{
    const Bytes reply = Unescaped(raw);
    if (!HasVendorHeader(reply, kCheckSubsystem, kChallengeOperation)) return StepResult::Failed({});
    std::array<std::uint8_t, kChallengeSize> value{};
    ReplyReader(reply, kVendorHeaderSize).Into(value.data(), value.size());
    return value;
}

bool ParseVendorAck(std::span<const std::uint8_t> raw, std::uint8_t subsystem, std::uint8_t operation)
{
    return HasVendorHeader(raw, subsystem, operation) && raw.size() > kVendorHeaderSize && raw[kVendorHeaderSize] == 0;
}

ProtocolReply ExchangeDiag(CPhoneProtocol& protocol, std::span<const std::uint8_t> payload, std::uint8_t attempts,
                           std::uint32_t timeoutMs, StepResult (*refusal)(std::span<const std::uint8_t>),
                           std::uint32_t pollMs)
{
    protocol.Begin(ProtocolMode::Diag);
    return protocol.Exchange({ProtocolMode::Diag, payload, refusal, ErrorReplyText, pollMs}, attempts, timeoutMs);
}

StepResult GetEsn(CPhoneProtocol& protocol, std::uint32_t& esn)
{
    esn = 0xFFFFFFFF;
    const ProtocolReply reply = SimpleExchange(protocol, BuildEsnRequest, 300);
    if (!reply) return protocol.Fail(Sentence(kEsnFailed, {reply.Reason()}));
    esn = ParseEsn(reply.payload);
    return {};
}

StepResult GetSoftwareVersion(CPhoneProtocol& protocol, SoftwareVersion& version)
{
    version = SoftwareVersion{};
    const ProtocolReply reply = SimpleExchange(protocol, BuildSoftwareVersionRequest, 300);
    if (!reply) return protocol.Fail(Sentence(kSoftwareVersionFailed, {reply.Reason()}));
    version = ParseSoftwareVersion(reply.payload);
    return {};
}

StepResult GetFourVersions(CPhoneProtocol& protocol, VersionRecord& record)
{
    record = VersionRecord{};
    const ProtocolReply reply = SimpleExchange(protocol, BuildFourVersionsRequest, 5000);
    if (!reply) return protocol.Fail(Sentence(kFourVersionsFailed, {reply.Reason()}));
    record = ParseFourVersions(reply.payload, reply.rawLength);
    return {};
}

StepResult ResetPhone(CPhoneProtocol& protocol) { return ModeControl(protocol, kModeReset, 10000, kResetFailed); }

StepResult SetOffline(CPhoneProtocol& protocol) { return ModeControl(protocol, kModeOffline, 10000, kOfflineFailed); }

// Fails with the offline sentence: the tool has no text of its own for this.
StepResult SetOnline(CPhoneProtocol& protocol) { return ModeControl(protocol, kModeOnline, 2000, kOfflineFailed); }

StepResult SwitchToDownloader(CPhoneProtocol& protocol)
{
    const ProtocolReply reply = SimpleExchange(protocol, BuildDownloaderRequest, 20000);
    if (!reply) return protocol.Fail(Sentence(kDownloaderFailed, {reply.Reason()}));
    return {};
}

// The two requests below have no sentence of their own: the bare reason.
StepResult Request5C(CPhoneProtocol& protocol)
{
    const ProtocolReply reply = SimpleExchange(protocol, Build5CRequest, 2000);
    if (!reply) return protocol.Fail(reply.Reason());
    return {};
}

StepResult SendSpc(CPhoneProtocol& protocol)
{
    const ProtocolReply reply = SimpleExchange(protocol, BuildSpcRequest, 2000);
    if (!reply) return protocol.Fail(reply.Reason());
    return {};
}

StepResult PollSubsystemState(CPhoneProtocol& protocol)
{
    const ProtocolReply reply = SimpleExchange(protocol, BuildSubsystemStateRequest, 2000);
    if (!reply) return protocol.Fail(reply.Reason());
    if (!ParseSubsystemState(reply.payload)) return StepResult::Failed({});
    return {};
}

StepResult DownloadCheck(CPhoneProtocol& protocol, std::span<const std::uint8_t, kCheckBlockSize> checkBlock,
                   std::uint8_t subsystem)
{
    const ProtocolReply reply = RawExchange(protocol, subsystem, kDownloadCheckOperation, checkBlock, 3, 10000);
    if (!reply) return protocol.Fail(Sentence(kDownloadCheckFailed, {reply.Reason()}));
    const StepResult verdict = ParseDownloadCheck(reply.payload, subsystem);
    if (verdict || verdict.Reason().empty()) return verdict;
    return protocol.Fail(Sentence(kDownloadCheckFailed, {verdict.Reason()}));
}

StepResult SetVendorFlag(CPhoneProtocol& protocol, std::uint8_t value)
{
    const std::uint8_t data[] = {value};
    const ProtocolReply reply = RawExchange(protocol, kVendorFlagSubsystem, kPlainOperation, data, 1, 10000);
    if (!reply) return protocol.Fail(reply.Reason());
    return VendorAck(reply.payload, kVendorFlagSubsystem, kPlainOperation);
}

StepResult SetAutorun(CPhoneProtocol& protocol, std::uint8_t value)
{
    const std::uint8_t data[] = {value};
    const ProtocolReply reply = RawExchange(protocol, kAutorunSubsystem, kPlainOperation, data, 1, 10000);
    if (!reply) return protocol.Fail(Sentence(kAutorunFailed, {reply.Reason()}));
    return VendorAck(reply.payload, kAutorunSubsystem, kPlainOperation);
}

StepResult GetChallengeValue(CPhoneProtocol& protocol, std::span<std::uint8_t, kChallengeSize> value)
{
    std::fill(value.begin(), value.end(), std::uint8_t{0});
    const ProtocolReply reply = RawExchange(protocol, kCheckSubsystem, kChallengeOperation, {}, 1, 1000);
    if (!reply) return protocol.Fail(Sentence(kChallengeFailed, {reply.Reason()}));
    const auto parsed = ParseChallengeValue(reply.payload);
    if (!parsed) return StepResult::Failed({});
    std::copy(parsed->begin(), parsed->end(), value.begin());
    return {};
}

StepResult SendChallengeAnswer(CPhoneProtocol& protocol, std::span<const std::uint8_t, kChallengeAnswerSize> answer)
{
    const ProtocolReply reply = RawExchange(protocol, kCheckSubsystem, kChallengeAnswerOperation, answer, 1, 1000);
    if (!reply) return protocol.Fail(Sentence(kChallengeFailed, {reply.Reason()}));
    return VendorAck(reply.payload, kCheckSubsystem, kChallengeAnswerOperation);
}

StepResult SwitchPortToDiag(CPhoneProtocol& protocol)
{
    protocol.ClearError();
    protocol.port.Write(reinterpret_cast<const std::uint8_t*>(kPortSwitch.data()),
                        static_cast<std::uint32_t>(kPortSwitch.size()));
    protocol.port.Clock().SleepMs(kPortSwitchWaitMs);

    std::uint8_t answer[kPortSwitchAnswer.size()] = {};
    std::uint32_t received = 0;
    if (protocol.port.BytesWaiting() > 0) {
        received = protocol.port.Read(answer, static_cast<std::uint32_t>(sizeof answer));
    }
    const bool answered =
        received == kPortSwitchAnswer.size() &&
        std::equal(kPortSwitchAnswer.begin(), kPortSwitchAnswer.end(), answer, [](char expected, std::uint8_t got) {
            return std::tolower(static_cast<unsigned char>(expected)) == std::tolower(got);
        });
    if (!answered) return StepResult::Failed({});
    return {};
}

StepResult CheckCommunication(CPhoneProtocol& protocol)
{
    std::uint32_t esn = 0;
    if (GetEsn(protocol, esn) || SwitchPortToDiag(protocol) || GetEsn(protocol, esn)) return {};
    return protocol.Fail(Sentence(kCommunicationFailed, {protocol.LastError()}));
}

}  // namespace diag
