#include "diag/diag_commands.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <vector>

#include "link/frame_codec.h"
#include "platform/backends.h"

namespace diag {
namespace {

constexpr std::uint8_t kEsnCommand = 0x01;
constexpr std::uint8_t kModeControlCommand = 0x29;
constexpr std::uint8_t kFourVersionsCommand = 0x39;
constexpr std::uint8_t kDownloaderCommand = 0x3A;
constexpr std::uint8_t kSpcCommand = 0x41;
constexpr std::uint8_t kSubsystemCommand = 0x4B;
constexpr std::uint8_t k5CCommand = 0x5C;
constexpr std::uint8_t kSoftwareVersionCommand = 0x7C;

constexpr std::uint16_t kModeOffline = 1;
constexpr std::uint16_t kModeReset = 2;
constexpr std::uint16_t kModeOnline = 4;

constexpr std::array<std::uint8_t, 3> kSubsystemStateParams{0x04, 0x0E, 0x00};
constexpr std::array<std::uint8_t, 5> k5CParams{0x01, 0x00, 0xC2, 0x01, 0x00};

// Subsystems of the vendor requests sent in RawDiag mode.
constexpr std::uint8_t kChallengeSubsystem = 0xA3;
constexpr std::uint8_t kVendorFlagSubsystem = 0xAA;
constexpr std::uint8_t kAutorunSubsystem = 0xA1;

constexpr std::size_t kSoftwareVersionReplyEnd = kReplySoftwareVersion + SoftwareVersion::kSize;

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

// Reads the unframed reply from the parser's read position; bytes the device
// did not send read as zero.
class ReplyReader {
public:
    explicit ReplyReader(CPhoneProtocol& protocol) : m_protocol(protocol) {}

    std::uint8_t Next()
    {
        if (m_protocol.rxLength >= m_protocol.rxPayloadLength) return 0;
        return m_protocol.rx[m_protocol.rxLength++];
    }
    void Into(std::uint8_t* out, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) out[i] = Next();
    }
    // Skips a separator byte when one follows; it is optional.
    void SkipZero()
    {
        if (m_protocol.rxLength < m_protocol.rxPayloadLength && m_protocol.rx[m_protocol.rxLength] == 0) {
            ++m_protocol.rxLength;
        }
    }

private:
    CPhoneProtocol& m_protocol;
};

// The field widths of a four-versions reply, which differ with the device's
// software generation; the raw reply length tells them apart.
std::span<const std::size_t> FourVersionsWidths(std::uint16_t rawLength)
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

class DiagModeCodec final : public IModeCodec {
public:
    void BuildPayload(const CPhoneProtocol& protocol, std::vector<std::uint8_t>& payload) const override
    {
        const std::uint8_t command = protocol.command;
        switch (command) {
        case kEsnCommand:
        case kFourVersionsCommand:
        case kDownloaderCommand:
        case kSoftwareVersionCommand:
            payload.push_back(command);
            break;
        case kModeControlCommand:
            Append(payload, command, protocol.params, 2);
            break;
        case kSpcCommand:
            Append(payload, command, protocol.params, kServiceProgrammingCode.size());
            break;
        case kSubsystemCommand:
            Append(payload, command, kSubsystemStateParams.data(), kSubsystemStateParams.size());
            break;
        case k5CCommand:
            Append(payload, command, k5CParams.data(), k5CParams.size());
            break;
        case kNvReadCommand:
        case kNvWriteCommand:
            Append(payload, command, protocol.params, kNvParamSize);
            break;
        default:
            break;
        }
    }

    bool ParseReply(CPhoneProtocol& protocol) const override
    {
        // Nothing of an earlier reply may show through a shorter one.
        std::fill(protocol.reply + 1, protocol.reply + CPhoneProtocol::kReplySize, std::uint8_t{0});
        protocol.rxLength = 1;
        ReplyReader in(protocol);
        switch (protocol.reply[0]) {
        case kEsnCommand:
            in.Into(protocol.reply + kReplyEsn, 4);
            break;
        case kModeControlCommand:
            in.Into(protocol.reply + kReplyModeEcho, 2);
            break;
        case kSubsystemCommand:
            in.Into(protocol.reply + 1, kReplySubsystemState);
            break;
        case kSoftwareVersionCommand:
            in.Into(protocol.reply + 1, kSoftwareVersionReplyEnd - 1);
            break;
        case kFourVersionsCommand: {
            std::uint8_t* field = protocol.reply + kReplyVersionRecord;
            for (const std::size_t width : FourVersionsWidths(protocol.rawReplyLength)) {
                in.Into(field, width);
                in.SkipZero();
                field += VersionRecord::kFieldSize;
            }
            break;
        }
        case kNvReadCommand:
        case kNvWriteCommand:
            if (protocol.rxPayloadLength < 1 + kNvParamSize) {
                protocol.lastError = kNvReplyIncomplete;
                return false;
            }
            in.Into(protocol.reply + 1, kNvParamSize);
            break;
        default:
            break;
        }
        return true;
    }

    std::string ErrorReplyText(std::uint8_t code) const override
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

private:
    static void Append(std::vector<std::uint8_t>& payload, std::uint8_t command, const std::uint8_t* params,
                       std::size_t count)
    {
        payload.push_back(command);
        payload.insert(payload.end(), params, params + count);
    }
};

bool DiagExchange(CPhoneProtocol& protocol, std::uint8_t command, std::span<const std::uint8_t> params,
                  std::uint8_t attempts, std::uint32_t timeoutMs)
{
    protocol.BeginRequest(ProtocolMode::Diag, DiagCodec(), command);
    std::copy(params.begin(), params.end(), protocol.params);
    return protocol.Exchange(attempts, timeoutMs);
}

bool ModeControl(CPhoneProtocol& protocol, std::uint16_t mode, std::uint32_t timeoutMs, const char* failure)
{
    const std::uint8_t params[] = {static_cast<std::uint8_t>(mode), static_cast<std::uint8_t>(mode >> 8)};
    return DiagExchange(protocol, kModeControlCommand, params, 1, timeoutMs) ||
           ReportFailure(protocol, failure, {protocol.lastError});
}

// The payload is put straight into the transmit buffer; the command code is
// set too, so that no earlier request's code decides how a failure is logged.
bool RawExchange(CPhoneProtocol& protocol, std::initializer_list<std::uint8_t> header,
                 std::span<const std::uint8_t> data, std::uint8_t attempts, std::uint32_t timeoutMs)
{
    protocol.ResetRequest();
    protocol.mode = ProtocolMode::RawDiag;
    protocol.command = kSubsystemCommand;
    std::uint8_t* end = std::copy(header.begin(), header.end(), protocol.tx);
    end = std::copy(data.begin(), data.end(), end);
    protocol.txLength = static_cast<std::uint32_t>(end - protocol.tx);
    return protocol.Exchange(attempts, timeoutMs);
}

// The raw reply starts with `expected`, every byte of it received.
bool RawReplyStartsWith(const CPhoneProtocol& protocol, std::initializer_list<std::uint8_t> expected)
{
    return protocol.rawReplyLength >= expected.size() && std::equal(expected.begin(), expected.end(), protocol.rx);
}

}  // namespace

std::string VersionRecord::Field(std::size_t number) const
{
    if (number < 1 || number > kFieldCount) return {};
    const char* field = fields[number - 1];
    return std::string(field, std::find(field, field + kFieldSize, '\0'));
}

std::string SoftwareVersion::Text() const { return std::string(bytes, std::find(bytes, bytes + kSize, '\0')); }

const IModeCodec& DiagCodec()
{
    static const DiagModeCodec codec;
    return codec;
}

std::string FillIn(std::string_view format, std::initializer_list<std::string_view> values)
{
    std::string out;
    auto value = values.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        const bool placeholder =
            format[i] == '%' && i + 1 < format.size() && (format[i + 1] == 'd' || format[i + 1] == 's');
        if (placeholder && value != values.end()) {
            out += *value++;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

bool ReportFailure(CPhoneProtocol& protocol, std::string_view format, std::initializer_list<std::string_view> values)
{
    protocol.scratch = FillIn(format, values);
    protocol.lastError = protocol.scratch;
    return false;
}

bool GetEsn(CPhoneProtocol& protocol, std::uint32_t& esn)
{
    esn = 0xFFFFFFFF;
    if (!DiagExchange(protocol, kEsnCommand, {}, 1, 300)) {
        return ReportFailure(protocol, kEsnFailed, {protocol.lastError});
    }
    const std::uint8_t* bytes = protocol.reply + kReplyEsn;
    esn = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
          static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return true;
}

bool GetSoftwareVersion(CPhoneProtocol& protocol, SoftwareVersion& version)
{
    version = SoftwareVersion{};
    if (!DiagExchange(protocol, kSoftwareVersionCommand, {}, 1, 300)) {
        return ReportFailure(protocol, kSoftwareVersionFailed, {protocol.lastError});
    }
    std::memcpy(version.bytes, protocol.reply + kReplySoftwareVersion, SoftwareVersion::kSize);
    return true;
}

bool GetFourVersions(CPhoneProtocol& protocol, VersionRecord& record)
{
    record = VersionRecord{};
    if (!DiagExchange(protocol, kFourVersionsCommand, {}, 1, 5000)) {
        return ReportFailure(protocol, kFourVersionsFailed, {protocol.lastError});
    }
    std::memcpy(&record, protocol.reply + kReplyVersionRecord, sizeof record);
    return true;
}

bool ResetPhone(CPhoneProtocol& protocol) { return ModeControl(protocol, kModeReset, 10000, kResetFailed); }

bool SetOffline(CPhoneProtocol& protocol) { return ModeControl(protocol, kModeOffline, 10000, kOfflineFailed); }

// Fails with the offline sentence: the tool has no text of its own for this.
bool SetOnline(CPhoneProtocol& protocol) { return ModeControl(protocol, kModeOnline, 2000, kOfflineFailed); }

bool SwitchToDownloader(CPhoneProtocol& protocol)
{
    return DiagExchange(protocol, kDownloaderCommand, {}, 1, 20000) ||
           ReportFailure(protocol, kDownloaderFailed, {protocol.lastError});
}

bool Request5C(CPhoneProtocol& protocol) { return DiagExchange(protocol, k5CCommand, {}, 1, 2000); }

bool SendSpc(CPhoneProtocol& protocol)
{
    const auto* digits = reinterpret_cast<const std::uint8_t*>(kServiceProgrammingCode.data());
    return DiagExchange(protocol, kSpcCommand, {digits, kServiceProgrammingCode.size()}, 1, 2000);
}

bool PollSubsystemState(CPhoneProtocol& protocol)
{
    // A reply cut short before the state byte does not report state 0.
    return DiagExchange(protocol, kSubsystemCommand, {}, 1, 2000) &&
           protocol.rxPayloadLength > kReplySubsystemState && protocol.reply[kReplySubsystemState] == 0;
}

bool DownloadCheck(CPhoneProtocol& protocol, std::span<const std::uint8_t, kCheckBlockSize> checkBlock,
                   std::uint8_t subsystem)
{
    if (!RawExchange(protocol, {kSubsystemCommand, subsystem, 0x05, 0x00}, checkBlock, 3, 10000)) {
        return ReportFailure(protocol, kDownloadCheckFailed, {protocol.lastError});
    }
    // The result byte follows the header and must have been received too.
    if (!RawReplyStartsWith(protocol, {kSubsystemCommand, subsystem, 0x05, 0x00}) || protocol.rawReplyLength < 5) {
        return false;
    }
    switch (protocol.rx[4]) {
    case 0: return true;
    case 1: return ReportFailure(protocol, kDownloadCheckFailed, {"public key error"});
    case 2: return ReportFailure(protocol, kDownloadCheckFailed, {"main ver error"});
    case 3: return ReportFailure(protocol, kDownloadCheckFailed, {"compare ver error"});
    default: return false;
    }
}

bool SetVendorFlag(CPhoneProtocol& protocol, std::uint8_t value)
{
    const std::uint8_t data[] = {value};
    return RawExchange(protocol, {kSubsystemCommand, kVendorFlagSubsystem, 0x00, 0x00}, data, 1, 10000) &&
           RawReplyStartsWith(protocol, {kSubsystemCommand, kVendorFlagSubsystem, 0x00, 0x00, 0x00});
}

bool SetAutorun(CPhoneProtocol& protocol, std::uint8_t value)
{
    const std::uint8_t data[] = {value};
    if (!RawExchange(protocol, {kSubsystemCommand, kAutorunSubsystem, 0x00, 0x00}, data, 1, 10000)) {
        return ReportFailure(protocol, kAutorunFailed, {protocol.lastError});
    }
    return RawReplyStartsWith(protocol, {kSubsystemCommand, kAutorunSubsystem, 0x00, 0x00, 0x00});
}

bool GetChallengeValue(CPhoneProtocol& protocol, std::span<std::uint8_t, kChallengeSize> value)
{
    const std::initializer_list<std::uint8_t> header = {kSubsystemCommand, kChallengeSubsystem, 0x06, 0x00};
    std::fill(value.begin(), value.end(), std::uint8_t{0});
    if (!RawExchange(protocol, header, {}, 1, 1000)) {
        return ReportFailure(protocol, kChallengeFailed, {protocol.lastError});
    }

    // The value is random, so it may hold 0x7E or 0x7D and arrive escaped.
    std::vector<std::uint8_t> reply;
    frame::AppendUnescaped(protocol.rx, protocol.rawReplyLength, reply);
    if (reply.size() < header.size() || !std::equal(header.begin(), header.end(), reply.begin())) return false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::size_t at = header.size() + i;
        value[i] = at < reply.size() ? reply[at] : 0;
    }
    return true;
}

bool SendChallengeAnswer(CPhoneProtocol& protocol, std::span<const std::uint8_t, kChallengeAnswerSize> answer)
{
    if (!RawExchange(protocol, {kSubsystemCommand, kChallengeSubsystem, 0x07, 0x00}, answer, 1, 1000)) {
        return ReportFailure(protocol, kChallengeFailed, {protocol.lastError});
    }
    return RawReplyStartsWith(protocol, {kSubsystemCommand, kChallengeSubsystem, 0x07, 0x00, 0x00});
}

bool SwitchPortToDiag(CPhoneProtocol& protocol)
{
    protocol.port.Write(reinterpret_cast<const std::uint8_t*>(kPortSwitch.data()),
                        static_cast<std::uint32_t>(kPortSwitch.size()));
    platform::Clock().SleepMs(kPortSwitchWaitMs);

    std::uint8_t answer[kPortSwitchAnswer.size()] = {};
    std::uint32_t received = 0;
    if (protocol.port.BytesWaiting() > 0) {
        received = protocol.port.Read(answer, static_cast<std::uint32_t>(sizeof answer));
    }
    return received == kPortSwitchAnswer.size() &&
           std::equal(kPortSwitchAnswer.begin(), kPortSwitchAnswer.end(), answer, [](char expected, std::uint8_t got) {
               return std::tolower(static_cast<unsigned char>(expected)) == std::tolower(got);
           });
}

bool CheckCommunication(CPhoneProtocol& protocol)
{
    std::uint32_t esn = 0;
    if (GetEsn(protocol, esn) || SwitchPortToDiag(protocol) || GetEsn(protocol, esn)) return true;
    return ReportFailure(protocol, kCommunicationFailed, {protocol.lastError});
}

}  // namespace diag
