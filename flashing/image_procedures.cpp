#include "flashing/image_procedures.h"

#include <array>
#include <string>

#include "download/streaming.h"
#include "platform/backends.h"

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
bool OpenNonEmpty(const LineContext& ctx, ImageFile& file, const std::string& path)
{
    if (!file.Open(path)) {
        ctx.Log(kOpenFailed);
        return false;
    }
    if (file.Length() < 1) {
        ctx.Log(kWrongLength);
        return false;
    }
    return true;
}

// Reads a whole table or header, which must fit the request's data area.
bool ReadSmallFile(const LineContext& ctx, const std::string& path, const char* name,
                   std::array<std::uint8_t, kHeaderLimit>& bytes, std::uint32_t& length)
{
    ImageFile file;
    if (!OpenNonEmpty(ctx, file, path)) return false;
    if (file.Length() > kHeaderLimit) {
        ctx.Log(std::string(name) + " is longer than 1024 bytes");
        return false;
    }
    length = static_cast<std::uint32_t>(file.Length());
    if (file.Read(0, bytes.data(), length) != length) {
        ctx.Log(kReadFailed);
        return false;
    }
    return true;
}

// The open request, sent once more after a pause when it fails.
bool OpenImage(CPhoneProtocol& protocol, std::uint8_t type, const std::uint8_t* header, std::uint32_t length)
{
    if (download::OpenMultiImage(protocol, type, header, length)) return true;
    platform::Clock().SleepMs(kRetryMs);
    return download::OpenMultiImage(protocol, type, header, length);
}

bool StreamBlocks(const LineContext& ctx, ImageFile& file)
{
    CPhoneProtocol& protocol = ctx.line.protocol;
    return StreamImageData(ctx, file, [&](std::uint32_t offset, const std::uint8_t* data, std::uint32_t length) {
        return download::StreamWrite(protocol, offset, data, length);
    });
}

// A boot image without header: the data file is opened first, then the image.
bool WriteBootImage(const LineContext& ctx, const std::string& path, std::uint8_t type, const char* openFailure)
{
    ImageFile file;
    if (!OpenNonEmpty(ctx, file, path)) return false;
    if (!OpenImage(ctx.line.protocol, type, nullptr, 0)) {
        ctx.Log(openFailure);
        return false;
    }
    return StreamBlocks(ctx, file);
}

}  // namespace

bool StreamImageData(const LineContext& ctx, ImageFile& file, const BlockSender& send)
{
    const BlockRun run = file.SendBlocks(kStreamBlockSize, ReportedBlocks(ctx, file, send));
    if (run == BlockRun::SendFailed) {
        ctx.Log(ctx.line.protocol.LastError());
        return false;
    }
    if (run == BlockRun::ReadFailed) {
        ctx.Log(kReadFailed);
        return false;
    }
    file.Close();
    if (!download::CloseImage(ctx.line.protocol)) {
        ctx.Log("ClosePacket error");
        return false;
    }
    return true;
}

bool WritePartitionTable(const LineContext& ctx)
{
    std::array<std::uint8_t, kHeaderLimit> table{};
    std::uint32_t length = 0;
    if (!ReadSmallFile(ctx, ctx.line.record.partitionPath.Get(), kPartitionFile, table, length)) return false;
    CPhoneProtocol& protocol = ctx.line.protocol;
    for (int request = 1;; ++request) {
        if (download::SendPartitionTable(protocol, table.data(), length)) return true;
        // The protocol's last error text says why; nothing is logged here.
        if (request == kPartitionRequests) return false;
        platform::Clock().SleepMs(kRetryMs);
    }
}

bool WriteCfgDataImage(const LineContext& ctx)
{
    return WriteBootImage(ctx, ctx.line.record.cfgDataPath.Get(), kCfgDataImageType,
                          "Enter Secondbootloaderheader mode fail!");
}

bool WriteQcsblImage(const LineContext& ctx)
{
    return WriteBootImage(ctx, ctx.line.record.qcsblPath.Get(), kQcsblImageType, "enter Secondbootloader mode fail!");
}

bool WriteOemsblImage(const LineContext& ctx)
{
    std::array<std::uint8_t, kHeaderLimit> header{};
    std::uint32_t length = 0;
    if (!ReadSmallFile(ctx, ctx.line.record.oemsblHeaderPath.Get(), kOemsblHeaderFile, header, length)) return false;
    if (!OpenImage(ctx.line.protocol, kOemsblImageType, header.data(), length)) {
        ctx.Log("enter DownloadOEMbootloader mode fail!");
        return false;
    }
    ImageFile file;
    if (!OpenNonEmpty(ctx, file, ctx.line.record.oemsblPath.Get())) return false;
    return StreamBlocks(ctx, file);
}

}  // namespace flashing
