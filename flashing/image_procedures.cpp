#include "flashing/image_procedures.h"

#include <array>
#include <string>

#include "download/streaming.h"
#include "flashing/pre_run_check.h"
#include "payload/manifest.h"

namespace flashing {
namespace {

constexpr std::uint32_t kRetryMs = 2000;
constexpr int kPartitionRequests = 3;
constexpr std::uint8_t kCfgDataImageType = 2;
constexpr std::uint8_t kQcsblImageType = 3;
constexpr std::uint8_t kOemsblImageType = 4;

constexpr const char* kOpenFailed = "open file fail!";
constexpr const char* kWrongLength = "The length of file is not correct";
constexpr const char* kReadFailed = "read file fail!";

// Opens a file that must hold at least one byte.
StepResult OpenNonEmpty(const LineContext& ctx, ImageFile& file, const std::string& path)
{
    if (!file.Open(path, ctx.line.checkedImages)) {
        ctx.Log(kOpenFailed);
        return StepResult::Failed(file.Problem());
    }
    if (file.Length() < 1) {
        ctx.Log(kWrongLength);
        return StepResult::Failed(path + " is empty");
    }
    return {};
}

// Reads a whole table or header, which must fit the request's data area.
StepResult ReadSmallFile(const LineContext& ctx, const std::string& path, std::string_view name,
                         std::array<std::uint8_t, kHeaderLimit>& bytes, std::uint32_t& length)
{
    ImageFile file;
    if (StepResult opened = OpenNonEmpty(ctx, file, path); !opened) return opened;
    if (file.Length() > kHeaderLimit) {
        const std::string text = std::string(name) + " is longer than 1024 bytes";
        ctx.Log(text);
        return StepResult::Failed(text);
    }
    length = static_cast<std::uint32_t>(file.Length());
    if (!file.ReadAt(0, bytes.data(), length)) {
        ctx.Log(kReadFailed);
        return StepResult::Failed(file.Problem());
    }
    return {};
}

StepResult StreamBlocks(const LineContext& ctx, ImageFile& file)
{
    CPhoneProtocol& protocol = ctx.line.protocol;
    return StreamImageData(ctx, file, [&](std::uint32_t offset, const std::uint8_t* data, std::uint32_t length) {
        return download::StreamWrite(protocol, ctx.line.inbox, offset, data, length);
    });
}

// A boot image without header: the data file is opened first, then the image.
StepResult WriteBootImage(const LineContext& ctx, const std::string& path, std::uint8_t type, const char* openFailure)
{
    ImageFile file;
    if (StepResult opened = OpenNonEmpty(ctx, file, path); !opened) return opened;
    if (!OpenImage(ctx.line.protocol, type, {}, {kRetryMs})) {
        ctx.Log(openFailure);
        return ProtocolFailure(ctx, openFailure);
    }
    return StreamBlocks(ctx, file);
}

}  // namespace

StepResult ProtocolFailure(const LineContext& ctx, std::string_view what)
{
    return StepResult::Failed(std::string(what) + ": " + ctx.line.protocol.LastError());
}

bool OpenImage(CPhoneProtocol& protocol, std::uint8_t type, std::span<const std::uint8_t> header,
               std::initializer_list<std::uint32_t> retryPausesMs)
{
    const auto length = static_cast<std::uint32_t>(header.size());
    if (download::OpenMultiImage(protocol, type, header.data(), length)) return true;
    for (const std::uint32_t pause : retryPausesMs) {
        protocol.port.Clock().SleepMs(pause);
        if (download::OpenMultiImage(protocol, type, header.data(), length)) return true;
    }
    return false;
}

StepResult StreamImageData(const LineContext& ctx, ImageFile& file, const BlockSender& send)
{
    const BlockRun run = file.SendBlocks(kStreamBlockSize, ReportedBlocks(ctx, file, send));
    if (run == BlockRun::SendFailed) {
        ctx.Log(ctx.line.protocol.LastError());
        return ProtocolFailure(ctx, "a block of " + file.Name() + " was not written");
    }
    if (run == BlockRun::ReadFailed) {
        ctx.Log(kReadFailed);
        return StepResult::Failed(file.Problem());
    }
    const std::string name = file.Name();
    file.Close();
    if (!download::CloseImage(ctx.line.protocol)) {
        ctx.Log("ClosePacket error");
        return ProtocolFailure(ctx, "the programmer did not close " + name);
    }
    return {};
}

StepResult WritePartitionTable(const LineContext& ctx)
{
    std::array<std::uint8_t, kHeaderLimit> table{};
    std::uint32_t length = 0;
    const std::string path = ctx.line.record.partitionPath.Get();
    if (StepResult read = ReadSmallFile(ctx, path, payload::kPartitionTable.fileName, table, length); !read) return read;
    CPhoneProtocol& protocol = ctx.line.protocol;
    for (int request = 1;; ++request) {
        if (download::SendPartitionTable(protocol, table.data(), length)) return {};
        // The protocol's last error text says why; nothing is logged here.
        if (request == kPartitionRequests) return ProtocolFailure(ctx, "the partition table was not taken");
        ctx.line.Clock().SleepMs(kRetryMs);
    }
}

StepResult WriteCfgDataImage(const LineContext& ctx)
{
    return WriteBootImage(ctx, ctx.line.record.cfgDataPath.Get(), kCfgDataImageType,
                          "Enter Secondbootloaderheader mode fail!");
}

StepResult WriteQcsblImage(const LineContext& ctx)
{
    return WriteBootImage(ctx, ctx.line.record.qcsblPath.Get(), kQcsblImageType, "enter Secondbootloader mode fail!");
}

StepResult WriteOemsblImage(const LineContext& ctx)
{
    std::array<std::uint8_t, kHeaderLimit> header{};
    std::uint32_t length = 0;
    const std::string headerPath = ctx.line.record.oemsblHeaderPath.Get();
    if (StepResult read = ReadSmallFile(ctx, headerPath, payload::kOemsblHeader.fileName, header, length); !read) {
        return read;
    }
    // The image is opened on the device only while all of its file is as checked.
    if (StepResult same = VerifyImage(ctx, ctx.line.record.oemsblPath.Get()); !same) return same;
    if (!OpenImage(ctx.line.protocol, kOemsblImageType, std::span(header.data(), length), {kRetryMs})) {
        constexpr const char* kOpenRefused = "enter DownloadOEMbootloader mode fail!";
        ctx.Log(kOpenRefused);
        return ProtocolFailure(ctx, kOpenRefused);
    }
    ImageFile file;
    if (StepResult opened = OpenNonEmpty(ctx, file, ctx.line.record.oemsblPath.Get()); !opened) return opened;
    return StreamBlocks(ctx, file);
}

}  // namespace flashing
