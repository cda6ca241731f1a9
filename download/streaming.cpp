#include "download/streaming.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "download/request_record.h"
#include "link/sentence.h"
#include "link/frame_codec.h"

namespace download {
namespace {

constexpr const char* kHostText = "QCOM fast download protocol host";
constexpr std::uint8_t kProtocolVersion = 0x02;
constexpr std::uint8_t kCompatibleVersion = 0x02;
constexpr std::uint8_t kFeatureBits = 0x03;
constexpr std::uint8_t kNopParameter = 0x11;
constexpr std::uint8_t kTrustedMode = 0x01;
constexpr std::uint8_t kOverrideTable = 0x01;
constexpr std::uint8_t kRegionFixed[] = {0x00, 0x90, 0x00, 0x00};
constexpr std::uint8_t kImageSizeFixed[] = {0x10, 0x00, 0x00, 0x00};
constexpr std::uint8_t kImageSizeTrailer = 0x01;

constexpr std::uint8_t kStatusReady = 1;
constexpr std::uint8_t kStatusVerdict = 0;
constexpr int kReadyTries = 500;
constexpr int kVerifyTries = 6000;
constexpr std::uint32_t kStatusPollMs = 10;
constexpr std::uint32_t kWriteReplyLimitMs = 3000;
constexpr std::uint8_t kTypesAlone[] = {1, 2, 3, 9};
constexpr std::uint8_t kTypesWithHeader[] = {4, 5, 10};
constexpr std::uint32_t kScanFirstPauseMs = 5;
constexpr std::uint32_t kScanSecondPauseMs = 8;
constexpr std::size_t kChecksumChunk = 0x21000;
// The CRC register after a frame followed by its own CRC.
constexpr std::uint16_t kCrcGood = 0xF0B8;

constexpr const char* kSecurityFailed = "Cannot go into security, Since %s";
constexpr const char* kPartitionFailed = "Cannot download partition, Since %s";
constexpr const char* kOpenImageFailed = "Cannot open multi-image, Since %s";
constexpr const char* kDamagedFrame = "the Received Data is Wrong with CRC Checksum";
constexpr const char* kNoProgrammer = "the boot downloader answered: the flash programmer is not running";

template <std::uint8_t kAnswer>
StepResult RefusalUnlessAnswer(std::span<const std::uint8_t> reply)
{
    return Streaming::RefusalUnless(reply, kAnswer);
}

using ReplyJudge = StepResult (*)(std::span<const std::uint8_t>);

ProtocolReply StreamExchange(CPhoneProtocol& protocol, const Bytes& payload, ReplyJudge judge, std::uint8_t attempts,
                             std::uint32_t timeoutMs)
{
    return protocol.Exchange({ProtocolMode::Streaming, payload, judge}, attempts, timeoutMs);
}

// The operations without a sentence of their own fail with the bare reason.
StepResult Request(CPhoneProtocol& protocol, void (*build)(Bytes&), ReplyJudge judge, std::uint8_t attempts,
             std::uint32_t timeoutMs)
{
    protocol.Begin(ProtocolMode::Streaming);
    Bytes payload;
    build(payload);
    const ProtocolReply reply = StreamExchange(protocol, payload, judge, attempts, timeoutMs);
    if (!reply) return protocol.Fail(reply.Reason());
    return {};
}

bool Contains(std::span<const std::uint8_t> types, std::uint8_t type)
{
    return std::find(types.begin(), types.end(), type) != types.end();
}

}  // namespace

void StreamInbox::CatchUp(const CPhoneProtocol& protocol)
{
    if (m_operationsSeen != protocol.OperationsBegun()) {
        m_operationsSeen = protocol.OperationsBegun();
        // The count stays: the frame reader drains the wiped bytes as noise.
        pending.fill(0);
    }
    if (m_repliesSeen != protocol.RepliesUnframed()) {
        m_repliesSeen = protocol.RepliesUnframed();
        status.fill(0);
    }
}

void Streaming::BuildHello(Bytes& out)
{
    out.push_back(kHello);
    out.insert(out.end(), kHostText, kHostText + 32);
    out.push_back(kProtocolVersion);
    out.push_back(kCompatibleVersion);
    out.push_back(kFeatureBits);
}

void Streaming::BuildCommand(Bytes& out, std::uint8_t command) { out.push_back(command); }

void Streaming::BuildNop(Bytes& out)
{
    out.push_back(kNop);
    out.push_back(kNopParameter);
}

void Streaming::BuildSecurityMode(Bytes& out)
{
    out.push_back(kSecurityMode);
    out.push_back(kTrustedMode);
}

void Streaming::BuildPartitionTable(Bytes& out, std::span<const std::uint8_t> table)
{
    out.push_back(kPartitionTable);
    out.push_back(kOverrideTable);
    out.insert(out.end(), table.begin(), table.end());
}

void Streaming::BuildOpenMultiImage(Bytes& out, std::uint8_t type, std::span<const std::uint8_t> header)
{
    out.push_back(kOpenMultiImage);
    if (Contains(kTypesAlone, type) || Contains(kTypesWithHeader, type)) out.push_back(type);
    if (Contains(kTypesWithHeader, type)) out.insert(out.end(), header.begin(), header.end());
}

void Streaming::BuildWrite(Bytes& out, std::uint32_t address, std::span<const std::uint8_t> data)
{
    out.push_back(kWrite);
    record::AppendLsbFirst(out, address, 4);
    out.insert(out.end(), data.begin(), data.end());
}

void Streaming::BuildRegionCommand(Bytes& out, std::uint32_t value, std::uint8_t form, std::uint8_t checksumLow,
                                   std::uint8_t checksumHigh)
{
    if (form == 0) {
        out.push_back(kRegionChecksum);
        out.insert(out.end(), std::begin(kRegionFixed), std::end(kRegionFixed));
        record::AppendMsbFirst(out, value, 4);
        out.push_back(checksumLow);
        out.push_back(checksumHigh);
    } else {
        out.push_back(kImageSize);
        out.insert(out.end(), std::begin(kImageSizeFixed), std::end(kImageSizeFixed));
        record::AppendMsbFirst(out, value, 4);
        out.push_back(kImageSizeTrailer);
    }
}

StepResult Streaming::Refusal(std::span<const std::uint8_t> reply)
{
    if (reply.empty() || reply[0] != kError) return {};
    std::uint32_t code = 0;
    for (std::size_t i = 1; i <= 4; ++i) code |= static_cast<std::uint32_t>(i < reply.size() ? reply[i] : 0) << (8 * (i - 1));
    return StepResult::Failed(ErrorText(code));
}

StepResult Streaming::RefusalUnless(std::span<const std::uint8_t> reply, std::uint8_t answer)
{
    if (StepResult refusal = Refusal(reply); !refusal) return refusal;
    if (!reply.empty() && reply[0] == answer) return {};
    if (!reply.empty() && reply[0] == kDownloaderRefusal) return StepResult::Failed(kNoProgrammer);
    char text[96];
    std::snprintf(text, sizeof text, "the reply code 0x%02X is not the programmer's answer 0x%02X",
                  reply.empty() ? 0u : unsigned{reply[0]}, unsigned{answer});
    return StepResult::Failed(text);
}

const char* Streaming::ErrorText(std::uint32_t code)
{
    switch (code) {
    case 2: return "Invalid destination address";
    case 3: return "Invalid length";
    case 4: return "Unexpected end of packet";
    case 5: return "Invalid Command";
    case 7: return "Operation failed";
    case 8: return "Wrong Flash Intelligent ID";
    case 9: return "Bad programming voltage";
    case 10: return "Write-verify failed";
    case 12: return "Incorrect security code";
    case 13: return "Cannot power down phone";
    case 14: return "NAND flash programming not supported";
    case 15: return "Command out of sequence";
    case 16: return "Close did not succeed";
    case 17: return "Incompatible feature bits";
    case 18: return "Out of space";
    default: return "Illegal reason";
    }
}

Result<StreamFrame> ParseStreamFrame(std::span<const std::uint8_t> bytes)
{
    // Unescaped on the fly: only the CRC and the first bytes matter, so the
    // frame is never copied.
    StreamFrame parsed;
    std::uint16_t crc = 0xFFFF;
    std::size_t length = 0;
    const auto take = [&](const std::uint8_t* run, std::size_t count) {
        crc = frame::CrcUpdate(crc, run, count);
        for (std::size_t i = 0; i < count && length + i < parsed.head.size(); ++i) parsed.head[length + i] = run[i];
        length += count;
    };
    // Runs without an escape go to the CRC in one step.
    for (std::size_t i = 0; i < bytes.size();) {
        const auto escape = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end(), frame::kEscape);
        const auto runEnd = static_cast<std::size_t>(escape - bytes.begin());
        take(bytes.data() + i, runEnd - i);
        if (runEnd + 1 >= bytes.size()) break;
        const auto byte = static_cast<std::uint8_t>(bytes[runEnd + 1] ^ frame::kEscapeXor);
        take(&byte, 1);
        i = runEnd + 2;
    }
    if (length < 2 || crc != kCrcGood) return StepResult::Failed(kDamagedFrame);
    // Fields the frame is too short to carry read as zero, never as its CRC.
    for (std::size_t i = length - 2; i < parsed.head.size(); ++i) parsed.head[i] = 0;
    for (std::size_t i = 1; i <= 4; ++i) parsed.value |= static_cast<std::uint32_t>(parsed.head[i]) << (8 * (i - 1));
    if (parsed.Code() == Streaming::kError) return StepResult::Failed(Streaming::ErrorText(parsed.value));
    if (parsed.Code() == Streaming::kDownloaderRefusal) return StepResult::Failed(kNoProgrammer);
    return parsed;
}

namespace {

// ScanFrames into the lists the caller keeps, so that the frame reader fills
// the line's own instead of a new one per scan; fails on a damaged frame or
// an error reply, with its reason.
StepResult Scan(std::span<const std::uint8_t> bytes, std::vector<std::uint32_t>& acknowledged,
                std::optional<std::array<std::uint8_t, 5>>& status)
{
    acknowledged.clear();
    // Bytes that do not start with a flag are taken as a frame already open,
    // which is what a flag put in front would do.
    bool open = !bytes.empty() && bytes[0] != frame::kFlag;
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != frame::kFlag) continue;
        if (!open) {
            open = true;
            start = i + 1;
            continue;
        }
        open = false;
        const Result<StreamFrame> parsed = ParseStreamFrame(bytes.subspan(start, i - start));
        if (!parsed) return StepResult::Failed(parsed.Reason());
        switch (parsed->Code()) {
        case Streaming::kBlockWritten:
            if (acknowledged.empty()) acknowledged.reserve(kAckListSize);
            // The high-speed transfer takes the newest entry as the highest
            // address written, so a full list drops its oldest entry.
            if (acknowledged.size() >= kAckListSize) {
                acknowledged.erase(acknowledged.begin());
            }
            acknowledged.push_back(parsed->value);
            break;
        case Streaming::kVendorStatus:
            status = parsed->head;
            break;
        default:
            break;
        }
    }
    return {};
}

// Makes a scan's findings the line's: the acknowledged addresses, the status.
StepResult ScanIntoInbox(CPhoneProtocol& protocol, StreamInbox& inbox, std::span<const std::uint8_t> bytes)
{
    std::optional<std::array<std::uint8_t, 5>> status;
    const StepResult scanned = Scan(bytes, inbox.acknowledged, status);
    if (status) inbox.status = *status;
    if (!scanned) return protocol.Fail(scanned.Reason());
    return {};
}

}  // namespace

ScanResult ScanFrames(std::span<const std::uint8_t> bytes)
{
    ScanResult result;
    result.result = Scan(bytes, result.acknowledged, result.status);
    return result;
}

StepResult Hello(CPhoneProtocol& protocol)
{
    return Request(protocol, Streaming::BuildHello, RefusalUnlessAnswer<Streaming::kHelloReply>, 3, 5000);
}

bool ProgrammerAnswers(CPhoneProtocol& protocol, std::uint32_t timeoutMs)
{
    return static_cast<bool>(
        Request(protocol, Streaming::BuildHello, RefusalUnlessAnswer<Streaming::kHelloReply>, 1, timeoutMs));
}

StepResult CloseImage(CPhoneProtocol& protocol)
{
    return Request(protocol, [](Bytes& out) { Streaming::BuildCommand(out, Streaming::kCloseImage); },
                   RefusalUnlessAnswer<Streaming::kCloseImageReply>, 3, 20000);
}

StepResult StreamNop(CPhoneProtocol& protocol)
{
    return Request(protocol, Streaming::BuildNop, RefusalUnlessAnswer<Streaming::kNopReply>, 1, 5000);
}

StepResult StreamReset(CPhoneProtocol& protocol)
{
    protocol.Begin(ProtocolMode::Streaming);
    Bytes payload;
    Streaming::BuildCommand(payload, Streaming::kReset);
    // A reset that fails is the one request support wants to hear about.
    ProtocolRequest request{ProtocolMode::Streaming, payload, RefusalUnlessAnswer<Streaming::kResetReply>};
    request.logFailedAttempts = true;
    const ProtocolReply reply = protocol.Exchange(request, 3, 20000);
    if (!reply) return protocol.Fail(reply.Reason());
    return {};
}

StepResult EnterSecurityMode(CPhoneProtocol& protocol)
{
    protocol.Begin(ProtocolMode::Streaming);
    Bytes payload;
    Streaming::BuildSecurityMode(payload);
    const ProtocolReply reply =
        StreamExchange(protocol, payload, RefusalUnlessAnswer<Streaming::kSecurityModeReply>, 3, 2000);
    if (!reply) return protocol.Fail(Sentence(kSecurityFailed, {reply.Reason()}));
    return {};
}

StepResult SendPartitionTable(CPhoneProtocol& protocol, const std::uint8_t* table, std::uint32_t length)
{
    protocol.Begin(ProtocolMode::Streaming);
    if (length > Streaming::kMaxBulkData) return protocol.Fail(Sentence(kPartitionFailed, {record::kBlockTooLarge}));
    Bytes payload;
    Streaming::BuildPartitionTable(payload, {table, length});
    const ProtocolReply reply =
        StreamExchange(protocol, payload, RefusalUnlessAnswer<Streaming::kPartitionTableReply>, 1, 100000);
    if (!reply) return protocol.Fail(Sentence(kPartitionFailed, {reply.Reason()}));
    return {};
}

StepResult OpenMultiImage(CPhoneProtocol& protocol, std::uint8_t type, const std::uint8_t* header, std::uint32_t length)
{
    protocol.Begin(ProtocolMode::Streaming);
    if (length > Streaming::kMaxBulkData) return protocol.Fail(Sentence(kOpenImageFailed, {record::kBlockTooLarge}));
    Bytes payload;
    Streaming::BuildOpenMultiImage(payload, type, {header, length});
    const ProtocolReply reply =
        StreamExchange(protocol, payload, RefusalUnlessAnswer<Streaming::kOpenMultiImageReply>, 2, 25000);
    if (!reply) return protocol.Fail(Sentence(kOpenImageFailed, {reply.Reason()}));
    return {};
}

StepResult StreamWrite(CPhoneProtocol& protocol, StreamInbox& inbox, std::uint32_t address, const std::uint8_t* data,
                 std::uint32_t length)
{
    protocol.Begin(ProtocolMode::Streaming);
    if (length > Streaming::kMaxWriteData) {
        return protocol.Fail(Sentence(record::kWriteFailed, {record::kBlockTooLarge}));
    }
    Bytes payload;
    Streaming::BuildWrite(payload, address, {data, length});
    if (!WriteAndScan(protocol, inbox, payload, kWriteReplyLimitMs)) {
        return protocol.Fail(Sentence(record::kWriteFailed, {protocol.LastError()}));
    }
    return {};
}

StepResult WriteAndScan(CPhoneProtocol& protocol, StreamInbox& inbox, std::span<const std::uint8_t> payload,
                  std::uint32_t limitMs)
{
    inbox.CatchUp(protocol);
    const Bytes frame = FrameRequest(ProtocolMode::Streaming, payload);
    if (frame.empty()) return protocol.Fail(CPhoneProtocol::kRequestTooLarge);
    // Acknowledgements of earlier blocks may be queued; they must survive.
    const auto length = static_cast<std::uint32_t>(frame.size());
    if (protocol.port.WriteKeepingInput(frame.data(), length) < length) return protocol.Fail(CPhoneProtocol::kSendFailed);

    const CSerialPort::Settled input = protocol.port.WaitForSettledInput(kScanFirstPauseMs, kScanSecondPauseMs, limitMs);
    if (!input.settled) return {};
    Bytes received(std::min<std::uint32_t>(input.count, CPhoneProtocol::kReceiveSize));
    received.resize(protocol.port.Read(received.data(), static_cast<std::uint32_t>(received.size())));
    return ScanIntoInbox(protocol, inbox, received);
}

StepResult ReadOneFrame(CPhoneProtocol& protocol, StreamInbox& inbox)
{
    protocol.ClearError();
    inbox.CatchUp(protocol);
    if (inbox.pendingCount == 0) {
        inbox.pendingPosition = 0;
        inbox.pendingCount = protocol.port.Read(inbox.pending.data(), CPhoneProtocol::kReceiveSize);
        if (inbox.pendingCount == 0) {
            inbox.acknowledged.clear();
            return {};
        }
    }
    const auto available = std::min<std::uint32_t>(inbox.pendingCount, CPhoneProtocol::kReceiveSize);
    // The frame is scanned where it lies; emptying the buffer below keeps its bytes.
    const std::uint32_t begin = inbox.pendingPosition;
    while (inbox.pendingPosition < available) {
        const std::uint8_t byte = inbox.pending[inbox.pendingPosition++];
        if (byte == frame::kFlag && inbox.pendingPosition - begin > 1) break;
    }
    const std::span<const std::uint8_t> frameBytes(inbox.pending.data() + begin, inbox.pendingPosition - begin);
    if (inbox.pendingPosition >= available) {
        inbox.pendingPosition = 0;
        inbox.pendingCount = 0;
    }
    return ScanIntoInbox(protocol, inbox, frameBytes);
}

StepResult SendRegionCommand(CPhoneProtocol& protocol, std::uint32_t value, std::uint8_t form, std::uint8_t checksumLow,
                       std::uint8_t checksumHigh)
{
    protocol.Begin(ProtocolMode::Streaming);
    Bytes payload;
    Streaming::BuildRegionCommand(payload, value, form, checksumLow, checksumHigh);
    const Bytes frame = FrameRequest(ProtocolMode::Streaming, payload);
    const auto length = static_cast<std::uint32_t>(frame.size());
    if (length == 0 || protocol.port.Write(frame.data(), length) < length) {
        return protocol.Fail(CPhoneProtocol::kSendFailed);
    }
    return {};
}

StepResult WaitReady(CPhoneProtocol& protocol, StreamInbox& inbox)
{
    platform::IClock& clock = protocol.port.Clock();
    std::array<std::uint8_t, 5>& status = inbox.status;
    for (int attempt = 0; attempt < kReadyTries; ++attempt) {
        // A damaged frame is noise here; only the status decides.
        static_cast<void>(ReadOneFrame(protocol, inbox));
        if (status[0] != Streaming::kVendorStatus) {
            clock.SleepMs(kStatusPollMs);
        } else if (status[1] == kStatusReady) {
            status.fill(0);
            return {};
        }
    }
    return StepResult::Failed(protocol.LastError());
}

StepResult WaitVerify(CPhoneProtocol& protocol, StreamInbox& inbox, bool& verified)
{
    platform::IClock& clock = protocol.port.Clock();
    std::array<std::uint8_t, 5>& status = inbox.status;
    for (int attempt = 0; attempt < kVerifyTries; ++attempt) {
        // A damaged frame is noise here; only the status decides.
        static_cast<void>(ReadOneFrame(protocol, inbox));
        if (status[0] == Streaming::kVendorStatus) {
            if (status[1] == kStatusVerdict) {
                verified = status[2] != 0;
                status[0] = 0;
            }
            return {};
        }
        clock.SleepMs(kStatusPollMs);
    }
    return {};
}

bool RegionChecksum(const RegionReader& read, std::uint64_t offset, std::uint64_t length, std::uint8_t& low,
                    std::uint8_t& high)
{
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(length, kChecksumChunk)));
    std::uint16_t crc = 0x0000;
    for (std::uint64_t done = 0; done < length;) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, kChecksumChunk));
        if (!read(offset + done, chunk.data(), wanted)) return false;
        crc = frame::CrcUpdate(crc, chunk.data(), wanted);
        done += wanted;
    }
    crc = static_cast<std::uint16_t>(~crc);
    low = static_cast<std::uint8_t>(crc & 0xFF);
    high = static_cast<std::uint8_t>(crc >> 8);
    return true;
}

}  // namespace download
