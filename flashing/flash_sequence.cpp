#include "flashing/flash_sequence.h"

#include <array>
#include <functional>

#include "download/streaming.h"
#include "flashing/high_speed_download.h"
#include "flashing/image_procedures.h"
#include "flashing/pre_run_check.h"
#include "flashing/programmer_loading.h"
#include "flashing/retry.h"
#include "workflow/line_record.h"
#include "workflow/upgrade_progress.h"

namespace flashing {
namespace {

constexpr int kAttempts = 3;
constexpr std::uint32_t kProbeAddress = 0xFFFFFFFF;

void Wait(const LineContext& ctx, std::uint32_t ms) { ctx.line.Clock().SleepMs(ms); }

// A later attempt starts from a closed image and a programmer that answers.
StepResult Recover(const LineContext& ctx)
{
    CPhoneProtocol& protocol = ctx.line.protocol;
    Wait(ctx, 2000);
    static_cast<void>(download::CloseImage(protocol));  // nothing may be open; the nop decides
    Wait(ctx, 2000);
    if (download::StreamNop(protocol)) return {};
    Wait(ctx, 500);
    if (download::StreamNop(protocol)) return {};
    Wait(ctx, 5000);
    return ProtocolFailure(ctx, "the flash programmer stopped answering");
}

StepResult Attempt(const LineContext& ctx, int attempt)
{
    CPhoneProtocol& protocol = ctx.line.protocol;
    ctx.Log(kDownloading);
    if (attempt > 0) {
        if (StepResult recovered = Recover(ctx); !recovered) return recovered;
    }
    ctx.Progress(progress::kProbeWrite);
    std::array<std::uint8_t, 1024> probe{0x61};
    const auto probeLength = static_cast<std::uint32_t>(probe.size());
    if (!download::StreamWrite(protocol, ctx.line.inbox, kProbeAddress, probe.data(), probeLength)) {
        Wait(ctx, 5000);
        return ProtocolFailure(ctx, "the probe write failed");
    }
    Wait(ctx, 2000);
    if (!download::EnterSecurityMode(protocol)) return ProtocolFailure(ctx, "the security mode was refused");
    ctx.Progress(progress::kSecurityMode);
    ctx.line.flashBegun = true;
    ctx.Reached(RunPhase::PartitionTable);
    if (StepResult done = WritePartitionTable(ctx); !done) return done;
    Wait(ctx, 2000);
    ctx.Progress(progress::kPartitionTable);
    ctx.Reached(RunPhase::BootLoaders);
    for (StepResult (*write)(const LineContext&) : {WriteCfgDataImage, WriteQcsblImage, WriteOemsblImage}) {
        if (StepResult done = write(ctx); !done) return done;
    }
    ctx.Progress(progress::kBootLoaders);
    LineContext context = ctx;
    ctx.Reached(RunPhase::ModemSoftware);
    if (StepResult done = WriteAmssImage(context); !done) return done;
    Wait(ctx, 5000);
    // The NAND programmer image is written if it can be; the flash works
    // without it, though not with one changed since the check.
    ctx.Reached(RunPhase::NandProgrammer);
    platform::IClock& clock = ctx.line.Clock();
    if (StepResult nand = Retry(clock, 3, 2000, LastPause::Skip, [&] { return WriteNandProgrammerImage(ctx); }); !nand) {
        for (const std::string& path : {ctx.line.record.nandHeaderPath.Get(), ctx.line.record.nandImagePath.Get()}) {
            if (StepResult same = VerifyImage(ctx, path); !same) return same;
        }
    }
    ctx.Reached(RunPhase::FileSystem);
    if (StepResult done = Retry(clock, 2, 2000, LastPause::Skip, [&] { return WriteCefsImage(context); }); !done) return done;
    // The flash is whole again: a failure from here on leaves every image
    // written.
    ctx.line.flashBegun = false;
    ctx.Reached(RunPhase::Flashed);
    ctx.Progress(progress::kFlashed);
    return {};
}

}  // namespace

StepResult WriteAllImages(const LineContext& ctx)
{
    StepResult result;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // An image changed since the check stays changed: no attempt starts
        // that could only write the flash up to it.
        for (const auto& checked : ctx.line.checkedImages) {
            if (StepResult same = VerifyImage(ctx, checked.first); !same) return same;
        }
        result = Attempt(ctx, attempt);
        if (result) break;
    }
    return result;
}

}  // namespace flashing
