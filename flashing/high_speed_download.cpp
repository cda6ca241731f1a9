#include "flashing/high_speed_download.h"

#include "link/frame_codec.h"

#include <algorithm>
#include <filesystem>
#include <limits>

#include "download/streaming.h"
#include "flashing/image_file.h"
#include "flashing/image_procedures.h"
#include "flashing/pre_run_check.h"
#include "link/sentence.h"
#include "workflow/line_record.h"
#include "workflow/upgrade_progress.h"

namespace flashing {
namespace {

constexpr std::uint8_t kAmssImageType = 5;
constexpr std::uint8_t kEfsImageType = 9;
constexpr const char* kAmssLabel = "download amss ";
constexpr const char* kEfsLabel = "download cefs.mbn ";

constexpr std::uint8_t kAnnounceImageSize = 1;
constexpr std::uint8_t kAnnounceRegion = 0;
constexpr std::uint32_t kChecksumBytes = 4;
constexpr std::initializer_list<std::uint32_t> kOpenRetryMs = {1000, 3000};
constexpr std::uint32_t kShortWriteMs = 100;
constexpr int kBlockTries = 2;
constexpr int kDrainIdleRounds = 100;
constexpr std::uint32_t kDrainPollMs = 10;
constexpr std::uint32_t kCrcSettleMs = 3000;
constexpr int kCrcRounds = 600;
constexpr std::uint32_t kCrcPollMs = 100;
constexpr int kReportIdleRounds = 10000;
constexpr std::uint32_t kReportPollMs = 1;
constexpr std::uint32_t kSegmentPauseMs = 2000;
constexpr int kMiddleTenths = 7;

constexpr const char* kHeaderOpenFailed = "open amsshd file failed!";
constexpr const char* kHeaderEmpty = "amsshd file length wrong";
constexpr const char* kAmssOpenFailed = "enter DownloadAmss mode failed!";
constexpr const char* kEfsOpenFailed = "Enter Download EFS mode failed";
constexpr const char* kChecksumModeRefused = "Fail to open  checksum high speed mode !";
constexpr const char* kImageOpenFailed = "open file failed!";
constexpr const char* kSegmentCommandFailed = "send high speed command failed!";
constexpr const char* kSendingSuffix = "(Send data in high speed)...";
constexpr const char* kChunkFailed = "Send data failed in high speed";
constexpr const char* kAwaitingCrc = "Send success,wait for CRC return!";
constexpr const char* kCrcMismatch = "CRC check failed,Send CRC is CRC1=%d CRC2=%d;The Phone return is CRC1=%d CRC2=%d";
constexpr const char* kCrcRight = "CRC check right";
constexpr const char* kNoCrc = "download failed,can't receive CRC in 60 s";
constexpr const char* kReceivingSuffix = "(receive)...";
constexpr const char* kWrittenSuffix = "has writed:0x%X";
constexpr const char* kNoReports = "write failed,can't receive any response in 10 s";
constexpr const char* kCloseFailed = "ClosePacket failed";

// The segment mode follows only when the checksum mode was not available; a
// failed checksum mode is final.
StepResult SendWithFallback(LineContext& context, const std::string& path, int first, int last, const char* label)
{
    TransferResult result = WriteImageChecksumMode(context, path, first, last, label);
    if (result.modeUnavailable) result = WriteImageSegmentMode(context, path, first, last, label);
    if (result) return {};
    return StepResult::Failed(std::filesystem::path(path).filename().string() + " was not written: " + result.Reason());
}

void PutLe32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Reads the written reports of a verified block until one covers its last
// byte or the programmer falls silent. What it finds decides nothing: the
// verdict already did.
void DrainWrittenReports(CPhoneProtocol& protocol, download::StreamInbox& inbox, std::uint32_t lastAddress)
{
    platform::IClock& clock = protocol.port.Clock();
    std::uint32_t highest = 0;
    int idle = 0;
    for (;;) {
        static_cast<void>(download::ReadOneFrame(protocol, inbox));  // a damaged frame reports nothing
        // Each frame read collects the list afresh; its newest entry is the
        // highest address written so far.
        if (!inbox.Acknowledged().empty()) {
            highest = inbox.Acknowledged().back();
            idle = 0;
        } else {
            ++idle;
        }
        if (highest >= lastAddress || idle >= kDrainIdleRounds) return;
        clock.SleepMs(kDrainPollMs);
    }
}

// One segment of the segment mode, from announcing it to its last written
// report.
class SegmentSender {
public:
    SegmentSender(LineContext& context, ImageFile& file, std::uint64_t total, int first, int last,
                  std::string_view label, std::vector<std::uint8_t>& chunk)
        : m_context(context), m_protocol(context.line.protocol), m_inbox(context.line.inbox), m_file(file),
          m_total(total), m_first(first), m_last(last), m_middle(SegmentMiddle(first, last)), m_label(label), m_chunk(chunk)
    {
    }

    bool Send(std::uint64_t position, std::uint32_t size)
    {
        std::uint8_t crc1 = 0;
        std::uint8_t crc2 = 0;
        const auto read = [this](std::uint64_t offset, std::uint8_t* data, std::size_t length) {
            return m_file.ReadAt(offset, data, length);
        };
        if (!download::RegionChecksum(read, position, size, crc1, crc2)) return Fail(m_file.Problem());
        if (!download::SendRegionCommand(m_protocol, size, kAnnounceRegion, crc1, crc2)) {
            return Fail(kSegmentCommandFailed, true);
        }
        m_context.Log(m_label + kSendingSuffix);
        return SendData(position, size) && AwaitCrc(crc1, crc2) && AwaitReports(size);
    }

    // Why the last segment failed.
    const std::string& Reason() const { return m_reason; }

private:
    // Keeps `text` as the reason, logged too when the line's log tells of it.
    bool Fail(std::string text, bool logged = false)
    {
        if (logged) m_context.Log(text);
        m_reason = std::move(text);
        return false;
    }

    bool SendData(std::uint64_t position, std::uint32_t size)
    {
        platform::IClock& clock = m_protocol.port.Clock();
        int percent = m_first;
        m_context.Progress(percent);
        const std::uint32_t perStep = ChunksPerStep(size, m_first, m_middle);
        std::uint32_t count = 0;
        for (std::uint32_t sent = 0; sent < size;) {
            const std::uint32_t length = std::min(size - sent, kSegmentChunkSize);
            if (!m_file.ReadAt(position + sent, m_chunk.data(), length)) return Fail(m_file.Problem());
            if (++count >= perStep) {
                percent = std::min(percent + 1, m_middle);
                m_context.Progress(percent);
                count = 0;
            }
            if (m_protocol.port.Write(m_chunk.data(), length) < length) {
                clock.SleepMs(kShortWriteMs);
                if (m_protocol.port.Write(m_chunk.data(), length) < length) return Fail(kChunkFailed, true);
            }
            sent += length;
            m_context.Transfer(m_file.Name(), position + sent, m_total);
        }
        m_context.Log(kAwaitingCrc);
        clock.SleepMs(kCrcSettleMs);
        return true;
    }

    // The programmer answers with its own CRC in the upper half of a written
    // report; the lower half means nothing here.
    bool AwaitCrc(std::uint8_t crc1, std::uint8_t crc2)
    {
        platform::IClock& clock = m_protocol.port.Clock();
        for (int round = 0; round < kCrcRounds; ++round) {
            static_cast<void>(download::ReadOneFrame(m_protocol, m_inbox));  // a damaged frame reports nothing
            clock.SleepMs(kCrcPollMs);
            if (m_inbox.Acknowledged().empty()) continue;
            const std::uint32_t value = m_inbox.Acknowledged()[0];
            const int theirs1 = static_cast<int>((value >> 16) & 0xFF);
            const int theirs2 = static_cast<int>(value >> 24);
            if (theirs1 != crc1 || theirs2 != crc2) {
                return Fail(Sentence(kCrcMismatch, {std::to_string(crc1), std::to_string(crc2), std::to_string(theirs1),
                                                    std::to_string(theirs2)}),
                            true);
            }
            m_context.Log(kCrcRight);
            return true;
        }
        return Fail(kNoCrc, true);
    }

    // Written addresses count from the segment's first byte; the last one
    // reported is size - 1.
    bool AwaitReports(std::uint32_t size)
    {
        platform::IClock& clock = m_protocol.port.Clock();
        int percent = m_middle;
        m_context.Progress(percent);
        const std::uint32_t perStep = ReportsPerStep(size, m_middle, m_last);
        const std::string receiving = m_label + kReceivingSuffix;
        m_context.Log(receiving);
        std::uint32_t highest = 0;
        std::uint32_t count = 0;
        int idle = 0;
        while (highest < size - 1) {
            static_cast<void>(download::ReadOneFrame(m_protocol, m_inbox));  // a damaged frame reports nothing
            if (m_inbox.Acknowledged().empty()) {
                ++idle;
            } else {
                for (const std::uint32_t address : m_inbox.Acknowledged()) {
                    if (++count >= perStep) {
                        percent = std::min(percent + 1, m_last);
                        m_context.Progress(percent);
                        count = 0;
                    }
                    highest = address;
                    m_context.Log(receiving + Sentence(kWrittenSuffix, {Hex(highest)}));
                }
                idle = 0;
            }
            if (idle >= kReportIdleRounds) return Fail(kNoReports, true);
            clock.SleepMs(kReportPollMs);
        }
        clock.SleepMs(kSegmentPauseMs);
        return true;
    }

    LineContext& m_context;
    CPhoneProtocol& m_protocol;
    download::StreamInbox& m_inbox;
    ImageFile& m_file;
    std::uint64_t m_total;
    int m_first;
    int m_last;
    int m_middle;
    std::string m_label;
    std::vector<std::uint8_t>& m_chunk;
    std::string m_reason;
};

}  // namespace

std::uint32_t ChecksumBlockCount(std::uint64_t imageLength)
{
    return static_cast<std::uint32_t>((imageLength + kChecksumBlockSize - 1) / kChecksumBlockSize);
}

int ChecksumBlockProgress(int first, int last, std::uint32_t block, std::uint32_t blocks)
{
    const std::int64_t span = last - first;
    const int low = first + static_cast<int>(span * block / blocks);
    return low == last && last > first ? last - 1 : low;
}

std::vector<std::uint32_t> SegmentSizes(std::uint64_t imageLength)
{
    std::vector<std::uint32_t> sizes;
    for (std::uint64_t position = 0; position < imageLength; position += sizes.back()) {
        sizes.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(imageLength - position, kMaxSegmentSize)));
    }
    return sizes;
}

int SegmentMiddle(int first, int last) { return first + (last - first) * kMiddleTenths / 10; }

std::uint32_t ChunksPerStep(std::uint32_t segmentSize, int first, int middle)
{
    const std::uint32_t points = middle > first ? static_cast<std::uint32_t>(middle - first) : 1;
    return std::max<std::uint32_t>(segmentSize / kSegmentChunkSize / points, 1);
}

std::uint32_t ReportsPerStep(std::uint32_t segmentSize, int middle, int last)
{
    const std::uint32_t points = last > middle ? static_cast<std::uint32_t>(last - middle) : 1;
    return std::max<std::uint32_t>(segmentSize / kSegmentReportStep / points, 1);
}

StepResult WriteAmssImage(LineContext& context)
{
    // The image is opened on the device only while all of its file is as
    // checked.
    if (StepResult same = VerifyImage(context, context.line.record.amssPath.Get()); !same) return same;
    std::vector<std::uint8_t> header;
    {
        ImageFile file;
        const std::string& path = context.line.record.amssHeaderPath.Get();
        if (!file.Open(path, context.line.checkedImages)) {
            context.Log(kHeaderOpenFailed);
            return StepResult::Failed(file.Problem());
        }
        if (file.Length() == 0) {
            context.Log(kHeaderEmpty);
            return StepResult::Failed(path + " is empty");
        }
        // The request carries at most one bulk block of header and refuses a
        // longer one; a byte past that limit is enough to show it.
        const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(file.Length(), download::Streaming::kMaxBulkData + 1));
        header.resize(kept);
        if (!file.ReadAt(0, header.data(), kept)) {
            context.Log(kHeaderOpenFailed);
            return StepResult::Failed(file.Problem());
        }
        if (!OpenImage(context.line.protocol, kAmssImageType, header, kOpenRetryMs)) {
            context.Log(kAmssOpenFailed);
            return ProtocolFailure(context, kAmssOpenFailed);
        }
    }
    return SendWithFallback(context, context.line.record.amssPath.Get(), progress::kAmssFirst, progress::kAmssLast, kAmssLabel);
}

StepResult WriteCefsImage(LineContext& context)
{
    if (StepResult same = VerifyImage(context, context.line.record.efsPath.Get()); !same) return same;
    if (!OpenImage(context.line.protocol, kEfsImageType, {}, kOpenRetryMs)) {
        context.Log(kEfsOpenFailed);
        return ProtocolFailure(context, kEfsOpenFailed);
    }
    return SendWithFallback(context, context.line.record.efsPath.Get(), progress::kEfsFirst, progress::kEfsLast, kEfsLabel);
}

TransferResult WriteImageChecksumMode(LineContext& context, const std::string& imagePath, int first, int last,
                                      std::string_view)
{
    CPhoneProtocol& protocol = context.line.protocol;
    download::StreamInbox& inbox = context.line.inbox;
    platform::IClock& clock = protocol.port.Clock();
    ImageFile file;
    if (!file.Open(imagePath, context.line.checkedImages)) return StepResult::Failed(file.Problem());
    // The announcement carries the size in 32 bits.
    if (file.Length() == 0 || file.Length() > std::numeric_limits<std::uint32_t>::max()) {
        return StepResult::Failed("its size cannot be announced");
    }
    const auto size = static_cast<std::uint32_t>(file.Length());
    const std::uint32_t blocks = ChecksumBlockCount(size);

    if (!download::SendRegionCommand(protocol, size, kAnnounceImageSize)) {
        context.Log(kChecksumModeRefused);
        return TransferResult::Unavailable(kChecksumModeRefused);
    }
    std::vector<std::uint8_t> block(kChecksumBlockSize + kChecksumBytes);
    int rejections = 0;
    for (std::uint32_t i = 0; i < blocks; ++i) {
        const std::uint32_t offset = i * kChecksumBlockSize;
        const std::uint32_t blockSize = std::min(size - offset, kChecksumBlockSize);
        if (!file.ReadAt(offset, block.data(), blockSize)) return StepResult::Failed(file.Problem());
        PutLe32(block.data() + blockSize, frame::BlockChecksum(block.data(), blockSize));
        const std::uint32_t sending = blockSize + kChecksumBytes;
        // A rejected block is sent once more; a second rejection ends the
        // image, and an accepted block starts the count again.
        for (;;) {
            if (!download::WaitReady(protocol, inbox)) {
                return TransferResult::Unavailable("the programmer was never ready for block " + std::to_string(i));
            }
            if (protocol.port.Write(block.data(), sending) < sending) clock.SleepMs(kShortWriteMs);
            bool verified = false;
            static_cast<void>(download::WaitVerify(protocol, inbox, verified));  // always true; `verified` decides
            if (verified) {
                rejections = 0;
                break;
            }
            if (++rejections >= kBlockTries) {
                return StepResult::Failed("the programmer rejected block " + std::to_string(i) + " twice");
            }
        }
        context.Progress(ChecksumBlockProgress(first, last, i, blocks));
        context.Transfer(file.Name(), std::uint64_t{offset} + blockSize, size);
        DrainWrittenReports(protocol, inbox, offset + blockSize - 1);
    }
    file.Close();
    if (!download::CloseImage(protocol)) return StepResult::Failed(protocol.LastError());
    context.Progress(last);
    return {};
}

TransferResult WriteImageSegmentMode(LineContext& context, const std::string& imagePath, int first, int last,
                                     std::string_view label)
{
    ImageFile file;
    if (!file.Open(imagePath, context.line.checkedImages)) {
        context.Log(kImageOpenFailed);
        return StepResult::Failed(file.Problem());
    }
    // An empty image has nothing the programmer could confirm.
    if (file.Length() == 0) return StepResult::Failed(imagePath + " is empty");

    std::vector<std::uint8_t> chunk(kSegmentChunkSize);
    SegmentSender sender(context, file, file.Length(), first, last, label, chunk);
    std::uint64_t position = 0;
    for (std::uint32_t size : SegmentSizes(file.Length())) {
        if (!sender.Send(position, size)) return StepResult::Failed(sender.Reason());
        position += size;
    }
    file.Close();
    if (!download::CloseImage(context.line.protocol)) {
        context.Log(kCloseFailed);
        return StepResult::Failed(kCloseFailed);
    }
    context.Progress(last);
    return {};
}

}  // namespace flashing
