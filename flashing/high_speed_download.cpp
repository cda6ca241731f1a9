#include "flashing/high_speed_download.h"

#include "link/frame_codec.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>

#ifdef _WIN32
#include <share.h>
#endif

#include "download/streaming.h"
#include "platform/backends.h"
#include "workflow/line_record.h"

namespace flashing {
namespace {

constexpr std::uint8_t kAmssImageType = 5;
constexpr std::uint8_t kEfsImageType = 9;
constexpr int kAmssFirst = 26;
constexpr int kAmssLast = 50;
constexpr int kEfsFirst = 51;
constexpr int kEfsLast = 80;
constexpr const char* kAmssLabel = "download amss ";
constexpr const char* kEfsLabel = "download cefs.mbn ";

constexpr std::uint8_t kAnnounceImageSize = 1;
constexpr std::uint8_t kAnnounceRegion = 0;
constexpr std::uint32_t kChecksumBytes = 4;
constexpr std::uint32_t kOpenRetryMs[] = {1000, 3000};
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

// An image file read at chosen offsets. On Windows it can keep other
// programs from writing to the file while it is being sent.
class ImageFile {
public:
    ImageFile(const std::string& path, bool denyWriters)
    {
#ifdef _WIN32
        m_file = ::_fsopen(path.c_str(), "rb", denyWriters ? _SH_DENYWR : _SH_DENYNO);
#else
        (void)denyWriters;
        m_file = std::fopen(path.c_str(), "rb");
#endif
    }
    ~ImageFile() { Close(); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    bool IsOpen() const { return m_file != nullptr; }
    void Close()
    {
        if (m_file) std::fclose(m_file);
        m_file = nullptr;
    }
    // The length in bytes; -1 when it cannot be told.
    std::int64_t Length()
    {
        if (!Seek(0, SEEK_END)) return -1;
#ifdef _WIN32
        return ::_ftelli64(m_file);
#else
        return ::ftello(m_file);
#endif
    }
    // Exactly `length` bytes from `offset`, or false.
    bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t length)
    {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
        return Seek(static_cast<std::int64_t>(offset), SEEK_SET) && std::fread(data, 1, length, m_file) == length;
    }

private:
    bool Seek(std::int64_t offset, int whence)
    {
#ifdef _WIN32
        return ::_fseeki64(m_file, offset, whence) == 0;
#else
        return ::fseeko(m_file, static_cast<off_t>(offset), whence) == 0;
#endif
    }

    std::FILE* m_file = nullptr;
};

std::string Format(const char* format, auto... values)
{
    char text[160];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// Opens the image on the programmer: a failed attempt is repeated after
// 1000 ms, then after 3000 ms.
bool OpenImage(CPhoneProtocol& protocol, std::uint8_t type, const std::uint8_t* header, std::uint32_t length)
{
    if (download::OpenMultiImage(protocol, type, header, length)) return true;
    for (std::uint32_t pause : kOpenRetryMs) {
        platform::Clock().SleepMs(pause);
        if (download::OpenMultiImage(protocol, type, header, length)) return true;
    }
    return false;
}

// The segment mode follows only when the checksum mode was not available; a
// failed checksum mode is final.
bool SendWithFallback(LineContext& context, const std::string& path, int first, int last, const char* label)
{
    const int result = WriteImageChecksumMode(context, path, first, last, label);
    if (result == kModeUnavailable) return WriteImageSegmentMode(context, path, first, last, label) == kTransferDone;
    return result == kTransferDone;
}

void PutLe32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Reads the written reports of a verified block until one covers its last
// byte or the programmer falls silent. What it finds decides nothing: the
// verdict already did.
void DrainWrittenReports(CPhoneProtocol& protocol, std::uint32_t lastAddress)
{
    platform::IClock& clock = platform::Clock();
    std::uint32_t highest = 0;
    int idle = 0;
    for (;;) {
        static_cast<void>(download::ReadOneFrame(protocol));  // a damaged frame reports nothing
        // Each frame read collects the list afresh; its newest entry is the
        // highest address written so far.
        if (!protocol.Acknowledged().empty()) {
            highest = protocol.Acknowledged().back();
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
    SegmentSender(LineContext& context, ImageFile& file, const std::string& path, std::uint64_t total, int first,
                  int last, std::string_view label, std::vector<std::uint8_t>& chunk)
        : m_context(context), m_protocol(context.line.protocol), m_file(file), m_path(path),
          m_name(std::filesystem::path(path).filename().string()), m_total(total), m_first(first), m_last(last),
          m_middle(SegmentMiddle(first, last)), m_label(label), m_chunk(chunk)
    {
    }

    bool Send(std::uint64_t position, std::uint32_t size)
    {
        std::uint8_t crc1 = 0;
        std::uint8_t crc2 = 0;
        if (!download::FileRegionChecksum(m_path, position, size, crc1, crc2)) return false;
        if (!download::SendRegionCommand(m_protocol, size, kAnnounceRegion, crc1, crc2)) {
            m_context.Log(kSegmentCommandFailed);
            return false;
        }
        m_context.Log(m_label + kSendingSuffix);
        return SendData(position, size) && AwaitCrc(crc1, crc2) && AwaitReports(size);
    }

private:
    bool SendData(std::uint64_t position, std::uint32_t size)
    {
        platform::IClock& clock = platform::Clock();
        int percent = m_first;
        m_context.Progress(percent);
        const std::uint32_t perStep = ChunksPerStep(size, m_first, m_middle);
        std::uint32_t count = 0;
        for (std::uint32_t sent = 0; sent < size;) {
            const std::uint32_t length = std::min(size - sent, kSegmentChunkSize);
            if (!m_file.ReadAt(position + sent, m_chunk.data(), length)) return false;
            if (++count >= perStep) {
                percent = std::min(percent + 1, m_middle);
                m_context.Progress(percent);
                count = 0;
            }
            if (m_protocol.port.Write(m_chunk.data(), length) < length) {
                clock.SleepMs(kShortWriteMs);
                if (m_protocol.port.Write(m_chunk.data(), length) < length) {
                    m_context.Log(kChunkFailed);
                    return false;
                }
            }
            sent += length;
            m_context.Transfer(m_name, position + sent, m_total);
        }
        m_context.Log(kAwaitingCrc);
        clock.SleepMs(kCrcSettleMs);
        return true;
    }

    // The programmer answers with its own CRC in the upper half of a written
    // report; the lower half means nothing here.
    bool AwaitCrc(std::uint8_t crc1, std::uint8_t crc2)
    {
        platform::IClock& clock = platform::Clock();
        for (int round = 0; round < kCrcRounds; ++round) {
            static_cast<void>(download::ReadOneFrame(m_protocol));  // a damaged frame reports nothing
            clock.SleepMs(kCrcPollMs);
            if (m_protocol.Acknowledged().empty()) continue;
            const std::uint32_t value = m_protocol.Acknowledged()[0];
            const int theirs1 = static_cast<int>((value >> 16) & 0xFF);
            const int theirs2 = static_cast<int>(value >> 24);
            if (theirs1 != crc1 || theirs2 != crc2) {
                m_context.Log(Format(kCrcMismatch, int{crc1}, int{crc2}, theirs1, theirs2));
                return false;
            }
            m_context.Log(kCrcRight);
            return true;
        }
        m_context.Log(kNoCrc);
        return false;
    }

    // Written addresses count from the segment's first byte; the last one
    // reported is size - 1.
    bool AwaitReports(std::uint32_t size)
    {
        platform::IClock& clock = platform::Clock();
        int percent = m_middle;
        m_context.Progress(percent);
        const std::uint32_t perStep = ReportsPerStep(size, m_middle, m_last);
        const std::string receiving = m_label + kReceivingSuffix;
        m_context.Log(receiving);
        std::uint32_t highest = 0;
        std::uint32_t count = 0;
        int idle = 0;
        while (highest < size - 1) {
            static_cast<void>(download::ReadOneFrame(m_protocol));  // a damaged frame reports nothing
            if (m_protocol.Acknowledged().empty()) {
                ++idle;
            } else {
                for (const std::uint32_t address : m_protocol.Acknowledged()) {
                    if (++count >= perStep) {
                        percent = std::min(percent + 1, m_last);
                        m_context.Progress(percent);
                        count = 0;
                    }
                    highest = address;
                    m_context.Log(receiving + Format(kWrittenSuffix, highest));
                }
                idle = 0;
            }
            if (idle >= kReportIdleRounds) {
                m_context.Log(kNoReports);
                return false;
            }
            clock.SleepMs(kReportPollMs);
        }
        clock.SleepMs(kSegmentPauseMs);
        return true;
    }

    LineContext& m_context;
    CPhoneProtocol& m_protocol;
    ImageFile& m_file;
    const std::string& m_path;
    std::string m_name;
    std::uint64_t m_total;
    int m_first;
    int m_last;
    int m_middle;
    std::string m_label;
    std::vector<std::uint8_t>& m_chunk;
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
    return low == last ? last - 1 : low;
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

bool WriteAmssImage(LineContext& context)
{
    std::vector<std::uint8_t> header;
    {
        ImageFile file(context.line.record.amssHeaderPath.Get(), true);
        if (!file.IsOpen()) {
            context.Log(kHeaderOpenFailed);
            return false;
        }
        const std::int64_t length = file.Length();
        if (length <= 0) {
            context.Log(kHeaderEmpty);
            return false;
        }
        // The request carries at most one bulk block of header and refuses a
        // longer one; a byte past that limit is enough to show it.
        const auto kept = static_cast<std::size_t>(std::min<std::int64_t>(length, download::Streaming::kMaxBulkData + 1));
        header.resize(kept);
        if (!file.ReadAt(0, header.data(), kept)) {
            context.Log(kHeaderOpenFailed);
            return false;
        }
        if (!OpenImage(context.line.protocol, kAmssImageType, header.data(), static_cast<std::uint32_t>(kept))) {
            context.Log(kAmssOpenFailed);
            return false;
        }
    }
    return SendWithFallback(context, context.line.record.amssPath.Get(), kAmssFirst, kAmssLast, kAmssLabel);
}

bool WriteCefsImage(LineContext& context)
{
    if (!OpenImage(context.line.protocol, kEfsImageType, nullptr, 0)) {
        context.Log(kEfsOpenFailed);
        return false;
    }
    return SendWithFallback(context, context.line.record.efsPath.Get(), kEfsFirst, kEfsLast, kEfsLabel);
}

int WriteImageChecksumMode(LineContext& context, const std::string& imagePath, int first, int last, std::string_view)
{
    CPhoneProtocol& protocol = context.line.protocol;
    platform::IClock& clock = platform::Clock();
    ImageFile file(imagePath, false);
    if (!file.IsOpen()) return kTransferFailed;
    const std::int64_t length = file.Length();
    // The announcement carries the size in 32 bits.
    if (length <= 0 || length > std::numeric_limits<std::uint32_t>::max()) return kTransferFailed;
    const auto size = static_cast<std::uint32_t>(length);
    const std::uint32_t blocks = ChecksumBlockCount(size);

    if (!download::SendRegionCommand(protocol, size, kAnnounceImageSize)) {
        context.Log(kChecksumModeRefused);
        return kModeUnavailable;
    }
    std::vector<std::uint8_t> block(kChecksumBlockSize + kChecksumBytes);
    const std::string name = std::filesystem::path(imagePath).filename().string();
    int rejections = 0;
    for (std::uint32_t i = 0; i < blocks; ++i) {
        const std::uint32_t offset = i * kChecksumBlockSize;
        const std::uint32_t blockSize = std::min(size - offset, kChecksumBlockSize);
        if (!file.ReadAt(offset, block.data(), blockSize)) return kTransferFailed;
        PutLe32(block.data() + blockSize, frame::BlockChecksum(block.data(), blockSize));
        const std::uint32_t sending = blockSize + kChecksumBytes;
        // A rejected block is sent once more; a second rejection ends the
        // image, and an accepted block starts the count again.
        for (;;) {
            if (!download::WaitReady(protocol)) return kModeUnavailable;
            if (protocol.port.Write(block.data(), sending) < sending) clock.SleepMs(kShortWriteMs);
            bool verified = false;
            static_cast<void>(download::WaitVerify(protocol, verified));  // always true: `verified` decides
            if (verified) {
                rejections = 0;
                break;
            }
            if (++rejections >= kBlockTries) return kTransferFailed;
        }
        context.Progress(ChecksumBlockProgress(first, last, i, blocks));
        context.Transfer(name, std::uint64_t{offset} + blockSize, size);
        DrainWrittenReports(protocol, offset + blockSize - 1);
    }
    file.Close();
    if (!download::CloseImage(protocol)) return kTransferFailed;
    context.Progress(last);
    return kTransferDone;
}

int WriteImageSegmentMode(LineContext& context, const std::string& imagePath, int first, int last,
                          std::string_view label)
{
    ImageFile file(imagePath, true);
    if (!file.IsOpen()) {
        context.Log(kImageOpenFailed);
        return kTransferFailed;
    }
    const std::int64_t length = file.Length();
    // An empty image has nothing the programmer could confirm.
    if (length <= 0) return kTransferFailed;

    std::vector<std::uint8_t> chunk(kSegmentChunkSize);
    SegmentSender sender(context, file, imagePath, static_cast<std::uint64_t>(length), first, last, label, chunk);
    std::uint64_t position = 0;
    for (std::uint32_t size : SegmentSizes(static_cast<std::uint64_t>(length))) {
        if (!sender.Send(position, size)) return kTransferFailed;
        position += size;
    }
    file.Close();
    if (!download::CloseImage(context.line.protocol)) {
        context.Log(kCloseFailed);
        return kTransferFailed;
    }
    context.Progress(last);
    return kTransferDone;
}

}  // namespace flashing
