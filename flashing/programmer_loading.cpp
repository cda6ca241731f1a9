#include "flashing/programmer_loading.h"

#include <array>
#include <string>

#include "download/dmss.h"
#include "download/streaming.h"
#include "flashing/box_title.h"
#include "flashing/image_file.h"
#include "flashing/image_procedures.h"
#include "flashing/pre_run_check.h"
#include "link/sentence.h"
#include "payload/manifest.h"

namespace flashing {
namespace {

constexpr int kBaud = 115200;
constexpr std::uint16_t kProgrammerSegment = 0x0080;
constexpr std::uint16_t kProgrammerOffset = 0x0000;
constexpr std::uint32_t kAfterGoMs = 2000;
constexpr std::uint32_t kHelloRetryMs = 2000;
constexpr std::uint32_t kNopRetryMs = 1000;
constexpr int kNopReopens = 2;
constexpr std::uint32_t kRetryMs = 2000;

// One block of the NAND programmer image, sent up to four times; the modem
// port is re-opened before the third and the fourth send.
StepResult SendNandBlock(const LineContext& ctx, std::uint32_t offset, const std::uint8_t* data, std::uint32_t length)
{
    CPhoneProtocol& protocol = ctx.line.protocol;
    platform::IClock& clock = ctx.line.Clock();
    const auto send = [&] { return download::StreamWrite(protocol, ctx.line.inbox, offset, data, length); };
    if (send()) return {};
    clock.SleepMs(kRetryMs);
    if (send()) return {};
    // Each reopen is tried for what it may mend; the send after it decides.
    static_cast<void>(OpenModemPort(ctx.line, ctx.line.modemPort.load(), kBaud));
    clock.SleepMs(kRetryMs);
    if (send()) return {};
    clock.SleepMs(kRetryMs);
    static_cast<void>(OpenModemPort(ctx.line, ctx.line.modemPort.load(), kBaud));
    clock.SleepMs(kRetryMs);
    return send();
}

// Starts the loaded programmer and waits until it greets and answers.
bool GreetProgrammer(const LineContext& ctx)
{
    CPhoneProtocol& protocol = ctx.line.protocol;
    platform::IClock& clock = ctx.line.Clock();
    // An unanswered go may still have started the programmer: only its
    // greeting decides.
    static_cast<void>(download::DmssGo(protocol, kProgrammerSegment, kProgrammerOffset));
    clock.SleepMs(kAfterGoMs);
    if (!download::Hello(protocol)) {
        clock.SleepMs(kHelloRetryMs);
        if (!download::Hello(protocol) && !download::Hello(protocol)) return false;
    }
    if (download::StreamNop(protocol)) return true;
    for (int reopen = 0; reopen < kNopReopens; ++reopen) {
        clock.SleepMs(kNopRetryMs);
        static_cast<void>(OpenDiagPort(ctx.line, ctx.line.diagPort.load(), kBaud));  // the nop decides
        if (download::StreamNop(protocol)) return true;
    }
    return false;
}

}  // namespace

StepResult LoadRamProgrammer(const LineContext& ctx)
{
    CPhoneProtocol& protocol = ctx.line.protocol;
    const std::string number = std::to_string(ctx.index + 1);
    const std::string_view name = payload::kRamProgrammer.fileName;
    ImageFile file;
    if (!file.Open(ctx.line.record.ramProgrammerPath.Get(), ctx.line.checkedImages)) {
        const std::string text = Sentence("Line%d :\tOpen %s fail!", {number, name});
        ShowPlainBox(ctx.line.Backends().messageBoxes, text);
        return StepResult::Failed(file.Changed() ? file.Problem() : text);
    }
    const BlockRun run = file.SendBlocks(kRamBlockSize, ReportedBlocks(ctx, file, [&](std::uint32_t offset, const std::uint8_t* data, std::uint32_t length) {
        return download::DmssWrite(protocol, kRamProgrammerAddress + offset, data, length);
    }));
    if (run == BlockRun::ReadFailed) {
        return StepResult::Failed(file.Changed() ? file.Problem() : Sentence("Line%d :\tRead %s fail!", {number, name}));
    }
    if (run == BlockRun::SendFailed) return StepResult::Failed(protocol.LastError());
    return {};
}

StepResult StartProgrammer(const LineContext& ctx)
{
    return GreetProgrammer(ctx) ? StepResult{} : ProtocolFailure(ctx, "the flash programmer did not answer");
}

StepResult WriteNandProgrammerImage(const LineContext& ctx)
{
    {
        ImageFile header;
        const std::string& path = ctx.line.record.nandHeaderPath.Get();
        if (!header.Open(path, ctx.line.checkedImages)) {
            // The image is optional, but not one changed since the check.
            ctx.Log("open file fail");
            return header.Changed() ? StepResult::Failed(header.Problem()) : StepResult{};
        }
        if (header.Length() < 1) {
            ctx.Log("The file's length is error");
            return StepResult::Failed(path + " is empty");
        }
        if (header.Length() > kHeaderLimit) {
            const std::string text =
                std::string(payload::kNandProgrammerHeader.fileName) + " is longer than 1024 bytes";
            ctx.Log(text);
            return StepResult::Failed(text);
        }
        std::array<std::uint8_t, kHeaderLimit> bytes{};
        const auto length = static_cast<std::uint32_t>(header.Length());
        if (!header.ReadAt(0, bytes.data(), length)) {
            ctx.Log("read file fail!");
            return StepResult::Failed(header.Problem());
        }
        if (StepResult same = VerifyImage(ctx, ctx.line.record.nandImagePath.Get()); !same) return same;
        if (!OpenImage(ctx.line.protocol, kNandProgrammerImageType, std::span(bytes.data(), length),
                       {kRetryMs, kRetryMs, kRetryMs})) {
            ctx.Log("download nandprghd fail!");
            return ProtocolFailure(ctx, "download nandprghd fail!");
        }
    }

    ImageFile image;
    if (!image.Open(ctx.line.record.nandImagePath.Get(), ctx.line.checkedImages)) {
        ctx.Log("Open file fail");
        return StepResult::Failed(image.Problem());
    }
    return StreamImageData(ctx, image, [&](std::uint32_t offset, const std::uint8_t* data, std::uint32_t length) {
        return SendNandBlock(ctx, offset, data, length);
    });
}

}  // namespace flashing
