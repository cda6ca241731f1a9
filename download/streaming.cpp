#include "download/streaming.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "download/request_record.h"
#include "link/frame_codec.h"
#include "platform/backends.h"

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
constexpr std::uint32_t kScanFirstPauseMs = 5;
constexpr std::uint32_t kScanSecondPauseMs = 8;
constexpr std::size_t kChecksumChunk = 0x21000;

constexpr const char* kSecurityFailed = "Cannot go into security, Since %s";
constexpr const char* kPartitionFailed = "Cannot download partition, Since %s";
constexpr const char* kOpenImageFailed = "Cannot open multi-image, Since %s";
constexpr const char* kWriteFailed = "Write a Block of Data to Memory Failed, Since %s";
constexpr const char* kDamagedFrame = "the Received Data is Wrong with CRC Checksum";
constexpr const char* kBlockTooLarge = "the Data Block is Too Large for One Request";

const Streaming kCodec{};

void BeginRequest(CPhoneProtocol& protocol, std::uint8_t command)
{
    protocol.BeginRequest(ProtocolMode::Streaming, kCodec, command);
}

// Copies a table or header into the bulk data; refuses one that would not fit.
bool StoreBulk(CPhoneProtocol& protocol, const std::uint8_t* data, std::uint32_t length)
{
    if (length > Streaming::kMaxBulkData) {
        protocol.lastError = kBlockTooLarge;
        return false;
    }
    if (length > 0) std::memcpy(protocol.bulk, data, length);
    protocol.bulkLength = length;
    return true;
}

bool ImageTypeAlone(std::uint8_t type) { return type == 1 || type == 2 || type == 3 || type == 9; }
bool ImageTypeWithHeader(std::uint8_t type) { return type == 4 || type == 5 || type == 10; }

// The high-speed transfer takes the newest entry as the highest address
// written, so a full list drops its oldest entry rather than the newest.
void AppendAcknowledged(CPhoneProtocol& protocol, std::uint32_t address)
{
    constexpr std::size_t kSize = CPhoneProtocol::kAckListSize;
    if (protocol.ackCount >= kSize) {
        std::memmove(protocol.ackAddresses, protocol.ackAddresses + 1, (kSize - 1) * sizeof protocol.ackAddresses[0]);
        protocol.ackCount = static_cast<std::uint8_t>(kSize - 1);
    }
    protocol.ackAddresses[protocol.ackCount++] = address;
}

}  // namespace

void Streaming::BuildPayload(const CPhoneProtocol& protocol, std::vector<std::uint8_t>& payload) const
{
    const std::uint8_t command = protocol.command;
    const std::uint8_t parameter = protocol.params[0];
    const std::uint8_t* bulkEnd = protocol.bulk + std::min<std::size_t>(protocol.bulkLength, kMaxBulkData);
    switch (command) {
    case kHello:
        payload.push_back(command);
        payload.insert(payload.end(), protocol.params, protocol.params + kHelloLength);
        break;
    case kWrite: {
        const auto length = std::min<std::uint32_t>(record::Load(protocol, kWriteLengthField, 4), kMaxWriteData);
        payload.push_back(command);
        payload.insert(payload.end(), protocol.params + kWriteAddressField, protocol.params + kWriteAddressField + 4);
        const std::uint8_t* data = protocol.params + kWriteDataField;
        payload.insert(payload.end(), data, data + length);
        break;
    }
    case kNop:
    case kSecurityMode:
        payload.push_back(command);
        payload.push_back(parameter);
        break;
    case kReset:
    case kCloseImage:
        payload.push_back(command);
        break;
    case kPartitionTable:
        payload.push_back(command);
        payload.push_back(parameter);
        payload.insert(payload.end(), protocol.bulk, bulkEnd);
        break;
    case kOpenMultiImage:
        payload.push_back(command);
        if (ImageTypeAlone(parameter) || ImageTypeWithHeader(parameter)) payload.push_back(parameter);
        if (ImageTypeWithHeader(parameter)) payload.insert(payload.end(), protocol.bulk, bulkEnd);
        break;
    case kRegionChecksum:
        payload.push_back(command);
        payload.insert(payload.end(), std::begin(kRegionFixed), std::end(kRegionFixed));
        record::AppendMsbFirst(payload, protocol.vendorValue, 4);
        payload.push_back(protocol.checksumLow);
        payload.push_back(protocol.checksumHigh);
        break;
    case kImageSize:
        payload.push_back(command);
        payload.insert(payload.end(), std::begin(kImageSizeFixed), std::end(kImageSizeFixed));
        record::AppendMsbFirst(payload, protocol.vendorValue, 4);
        payload.push_back(kImageSizeTrailer);
        break;
    default:
        break;
    }
}

bool Streaming::ParseReply(CPhoneProtocol& protocol) const
{
    if (protocol.reply[0] != kError) return true;
    for (std::size_t i = 1; i <= 4; ++i) protocol.reply[i] = i < protocol.rxPayloadLength ? protocol.rx[i] : 0;
    return false;
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

bool Hello(CPhoneProtocol& protocol)
{
    BeginRequest(protocol, Streaming::kHello);
    std::memcpy(protocol.params, kHostText, 32);
    protocol.params[32] = kProtocolVersion;
    protocol.params[33] = kCompatibleVersion;
    protocol.params[34] = kFeatureBits;
    return protocol.Exchange(3, 5000);
}

bool CloseImage(CPhoneProtocol& protocol)
{
    BeginRequest(protocol, Streaming::kCloseImage);
    return protocol.Exchange(3, 20000);
}

bool StreamNop(CPhoneProtocol& protocol)
{
    BeginRequest(protocol, Streaming::kNop);
    protocol.params[0] = kNopParameter;
    return protocol.Exchange(1, 5000);
}

bool StreamReset(CPhoneProtocol& protocol)
{
    BeginRequest(protocol, Streaming::kReset);
    return protocol.Exchange(3, 20000);
}

bool EnterSecurityMode(CPhoneProtocol& protocol)
{
    BeginRequest(protocol, Streaming::kSecurityMode);
    protocol.params[0] = kTrustedMode;
    return protocol.Exchange(3, 2000) || record::FailWith(protocol, kSecurityFailed);
}

bool SendPartitionTable(CPhoneProtocol& protocol, const std::uint8_t* table, std::uint32_t length)
{
    BeginRequest(protocol, Streaming::kPartitionTable);
    protocol.params[0] = kOverrideTable;
    if (!StoreBulk(protocol, table, length)) return record::FailWith(protocol, kPartitionFailed);
    return protocol.Exchange(1, 100000) || record::FailWith(protocol, kPartitionFailed);
}

bool OpenMultiImage(CPhoneProtocol& protocol, std::uint8_t type, const std::uint8_t* header, std::uint32_t length)
{
    BeginRequest(protocol, Streaming::kOpenMultiImage);
    protocol.params[0] = type;
    if (!StoreBulk(protocol, header, length)) return record::FailWith(protocol, kOpenImageFailed);
    return protocol.Exchange(2, 25000) || record::FailWith(protocol, kOpenImageFailed);
}

bool StreamWrite(CPhoneProtocol& protocol, std::uint32_t address, const std::uint8_t* data, std::uint32_t length)
{
    BeginRequest(protocol, Streaming::kWrite);
    if (length > Streaming::kMaxWriteData) {
        protocol.lastError = kBlockTooLarge;
        return record::FailWith(protocol, kWriteFailed);
    }
    record::Store(protocol, Streaming::kWriteAddressField, address, 4);
    record::Store(protocol, Streaming::kWriteLengthField, length, 4);
    if (length > 0) std::memcpy(protocol.params + Streaming::kWriteDataField, data, length);
    return WriteAndScan(protocol, kWriteReplyLimitMs) || record::FailWith(protocol, kWriteFailed);
}

bool WriteAndScan(CPhoneProtocol& protocol, std::uint32_t limitMs)
{
    const std::uint32_t length = protocol.BuildFrame();
    if (length == 0) return false;
    // Acknowledgements of earlier blocks may be queued; they must survive.
    if (protocol.port.WriteKeepingInput(protocol.tx, length) < length) {
        protocol.lastError = CPhoneProtocol::kSendFailed;
        return false;
    }

    platform::IClock& clock = platform::Clock();
    const std::uint32_t start = clock.TickCount();
    std::uint32_t count = 0;
    bool settled = false;
    do {
        clock.SleepMs(kScanFirstPauseMs);
        count = protocol.port.BytesWaiting();
        clock.SleepMs(kScanSecondPauseMs);
        settled = count >= 1 && protocol.port.BytesWaiting() == count;
    } while (!settled && clock.TickCount() - start <= limitMs);
    protocol.lastError = "time is " + std::to_string(clock.TickCount() - start) + "(ms)";

    if (!settled) return true;
    const auto wanted = std::min<std::uint32_t>(count, CPhoneProtocol::kReceiveSize);
    protocol.rxLength = static_cast<std::uint16_t>(protocol.port.Read(protocol.rx, wanted));
    return ScanFrames(protocol);
}

bool ScanFrames(CPhoneProtocol& protocol)
{
    protocol.ackCount = 0;
    const std::size_t count = std::min<std::size_t>(protocol.rxLength, CPhoneProtocol::kReceiveSize);
    // Bytes that do not start with a flag are taken as a frame already open,
    // which is what a flag put in front would do, without moving the buffer.
    bool open = count > 0 && protocol.rx[0] != frame::kFlag;
    std::size_t start = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (protocol.rx[i] != frame::kFlag) continue;
        if (!open) {
            open = true;
            start = i + 1;
            continue;
        }
        open = false;
        if (!ParseStreamFrame(protocol, protocol.rx + start, i - start)) return false;
    }
    return true;
}

bool ParseStreamFrame(CPhoneProtocol& protocol, const std::uint8_t* bytes, std::size_t length)
{
    std::vector<std::uint8_t> unescaped;
    unescaped.reserve(length);
    frame::AppendUnescaped(bytes, length, unescaped);
    if (!frame::CheckCrc(unescaped.data(), unescaped.size())) {
        protocol.lastError = kDamagedFrame;
        return false;
    }
    // Fields the frame is too short to carry read as zero.
    const std::size_t payloadLength = unescaped.size() - 2;
    const auto at = [&](std::size_t i) -> std::uint8_t { return i < payloadLength ? unescaped[i] : 0; };
    const std::uint32_t value = static_cast<std::uint32_t>(at(1)) | static_cast<std::uint32_t>(at(2)) << 8 |
                                static_cast<std::uint32_t>(at(3)) << 16 | static_cast<std::uint32_t>(at(4)) << 24;
    switch (at(0)) {
    case Streaming::kBlockWritten:
        AppendAcknowledged(protocol, value);
        break;
    case Streaming::kError:
        protocol.lastError = Streaming::ErrorText(value);
        return false;
    case Streaming::kVendorStatus:
        for (std::size_t i = 0; i < 5; ++i) protocol.reply[i] = at(i);
        break;
    default:
        break;
    }
    return true;
}

bool ReadOneFrame(CPhoneProtocol& protocol)
{
    protocol.rxLength = 0;
    if (protocol.pendingCount == 0) {
        protocol.pendingPosition = 0;
        protocol.pendingCount = protocol.port.Read(protocol.pending, CPhoneProtocol::kReceiveSize);
        if (protocol.pendingCount == 0) {
            protocol.ackCount = 0;
            return true;
        }
    }
    const auto available = std::min<std::uint32_t>(protocol.pendingCount, CPhoneProtocol::kReceiveSize);
    while (protocol.pendingPosition < available) {
        const std::uint8_t byte = protocol.pending[protocol.pendingPosition++];
        protocol.rx[protocol.rxLength++] = byte;
        if (byte == frame::kFlag && protocol.rxLength > 1) break;
    }
    if (protocol.pendingPosition >= available) {
        protocol.pendingPosition = 0;
        protocol.pendingCount = 0;
    }
    return ScanFrames(protocol);
}

bool SendRegionCommand(CPhoneProtocol& protocol, std::uint32_t value, std::uint8_t form, std::uint8_t checksumLow,
                       std::uint8_t checksumHigh)
{
    BeginRequest(protocol, form == 0 ? Streaming::kRegionChecksum : Streaming::kImageSize);
    protocol.vendorValue = value;
    protocol.checksumLow = checksumLow;
    protocol.checksumHigh = checksumHigh;
    const std::uint32_t length = protocol.BuildFrame();
    if (length == 0 || protocol.port.Write(protocol.tx, length) < length) {
        protocol.lastError = CPhoneProtocol::kSendFailed;
        return false;
    }
    return true;
}

bool WaitReady(CPhoneProtocol& protocol)
{
    platform::IClock& clock = platform::Clock();
    for (int attempt = 0; attempt < kReadyTries; ++attempt) {
        ReadOneFrame(protocol);
        if (protocol.reply[0] != Streaming::kVendorStatus) {
            clock.SleepMs(kStatusPollMs);
        } else if (protocol.reply[1] == kStatusReady) {
            std::memset(protocol.reply, 0, sizeof protocol.reply);
            return true;
        }
    }
    return false;
}

bool WaitVerify(CPhoneProtocol& protocol, bool& verified)
{
    platform::IClock& clock = platform::Clock();
    for (int attempt = 0; attempt < kVerifyTries; ++attempt) {
        ReadOneFrame(protocol);
        if (protocol.reply[0] == Streaming::kVendorStatus) {
            if (protocol.reply[1] == kStatusVerdict) {
                verified = protocol.reply[2] != 0;
                protocol.reply[0] = 0;
            }
            return true;
        }
        clock.SleepMs(kStatusPollMs);
    }
    return true;
}

bool FileRegionChecksum(const std::filesystem::path& file, std::uint64_t offset, std::uint64_t length,
                        std::uint8_t& low, std::uint8_t& high)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in) return false;

    std::vector<char> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(length, kChecksumChunk)));
    std::uint16_t crc = 0x0000;
    for (std::uint64_t left = length; left > 0;) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChecksumChunk));
        in.read(chunk.data(), static_cast<std::streamsize>(wanted));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got < wanted) return false;
        crc = frame::CrcUpdate(crc, reinterpret_cast<const std::uint8_t*>(chunk.data()), got);
        left -= got;
    }
    crc = static_cast<std::uint16_t>(~crc);
    low = static_cast<std::uint8_t>(crc & 0xFF);
    high = static_cast<std::uint8_t>(crc >> 8);
    return true;
}

}  // namespace download
