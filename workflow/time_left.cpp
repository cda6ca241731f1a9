#include "workflow/time_left.h"

#include <algorithm>

#include "workflow/upgrade_progress.h"

namespace workflow {
namespace {

// The restart before the backup: its own pause and the search's first
// pause; a device that takes longer shows it again after the flash.
constexpr std::uint32_t kRestartPauseMs = 11000;
// After the flash the device is reset and searched for after a shorter
// pause, but it needs about as long to come back as the run allows its
// first restart (10 s); it is then asked whether it answers, a second later.
constexpr std::uint32_t kReturnMs = 11000;

// The fixed pauses a successful run takes from reaching `step` until its
// next step, beside the image transfers and the NV restore; they are the
// upgrade sequence's own waits and move with them.
std::uint32_t PauseAfter(int step)
{
    switch (step) {
    case progress::kProgrammerLoaded: return 4000;  // before the programmer's start, and after its go
    case progress::kProbeWrite: return 2000;         // after the probe write
    case progress::kSecurityMode: return 2000;       // after the partition table
    case progress::kAmssLast: return 5000;           // after the modem software
    case progress::kFlashed: return 3000;            // before the reset
    case progress::kWaitingForReturn: return kReturnMs;
    case progress::kRestored: return 2000;           // the ports found again, and the first answer
    case progress::kAnsweringAgain: return 500;
    case progress::kVendorFlagCleared: return 3500;  // around the AT commands
    case progress::kNormalMode: return 500;
    case progress::kResetting: return 3000;
    default: return 0;
    }
}

// The preparation before the first restart: pauses, and the same kind of
// requests the end of the run sends; how much longer than its pauses it took
// says how much longer the end's will.
constexpr std::uint32_t kPreparationPausesMs = 7000;

constexpr int kRestoreSteps = progress::kRestored - progress::kRestoreFirst;
// The device is put back online after the last item and given time to settle.
constexpr double kRestoreSettleMs = 1000;

}  // namespace

void TimeLeft::Progress(int percent, std::uint32_t tick)
{
    if (percent == m_step) return;
    if (percent < m_step) {
        // Back to 0: the run is over.
        m_ended = true;
        return;
    }
    if (percent == progress::kOffline) m_offlineTick = tick;
    if (percent == progress::kRestarting) {
        m_restartTick = tick;
        if (m_offlineTick) m_requestPace = std::max(1.0, static_cast<double>(tick - *m_offlineTick) / kPreparationPausesMs);
    }
    if (percent == progress::kPortsFoundAgain && m_restartTick) {
        m_lateReturnMs = std::max<std::int64_t>(0, std::int64_t{tick - *m_restartTick} - kRestartPauseMs);
    }
    if (percent == progress::kBackupFirst) m_backupTick = tick;
    if (percent == progress::kBackedUp && m_backupTick) m_backupMs = tick - *m_backupTick;
    if (percent == progress::kRestoreFirst) m_restoreTick = tick;
    m_step = percent;
    m_stepTick = tick;
}

void TimeLeft::Transfer(const std::string& image, std::uint64_t done, std::uint32_t tick)
{
    Sent& sent = m_sent[image];
    if (image == m_lastImage && done > sent.bytes) {
        sent.timedBytes += done - sent.bytes;
        sent.timedMs += tick - m_lastTransferTick;
    }
    sent.bytes = std::max(sent.bytes, done);
    m_lastImage = image;
    m_lastTransferTick = tick;
}

std::optional<double> TimeLeft::TransferMs() const
{
    // The round trip of a block, over every image timed so far.
    double trips = 0;
    double tripMs = 0;
    for (const Image& image : m_images) {
        const auto sent = m_sent.find(image.name);
        if (sent == m_sent.end() || sent->second.timedBytes == 0 || image.blockBytes == 0) continue;
        trips += static_cast<double>(sent->second.timedBytes) / image.blockBytes;
        tripMs += static_cast<double>(sent->second.timedMs);
    }
    double ms = 0;
    for (const Image& image : m_images) {
        const auto found = m_sent.find(image.name);
        const Sent sent = found == m_sent.end() ? Sent{} : found->second;
        if (sent.bytes >= image.bytes) continue;
        const double unsent = static_cast<double>(image.bytes - sent.bytes);
        if (sent.timedBytes > 0) {
            ms += unsent * static_cast<double>(sent.timedMs) / static_cast<double>(sent.timedBytes);
        } else if (trips > 0 && image.blockBytes > 0) {
            ms += unsent / image.blockBytes * tripMs / trips;
        } else {
            return std::nullopt;
        }
    }
    return ms;
}

std::optional<std::uint32_t> TimeLeft::LeftMs(std::uint32_t tick) const
{
    if (m_ended || m_step < progress::kProgrammerLoaded) return std::nullopt;
    if (m_step >= progress::kDone) return 0;
    const std::uint32_t inStep = tick - m_stepTick;

    double fixed = 0;
    for (int step = m_step; step < progress::kDone; ++step) {
        const double pause = PauseAfter(step) + (step == progress::kWaitingForReturn ? m_lateReturnMs : 0);
        // The last pause is the reset's, with no request after it.
        const bool requests = step >= progress::kRestored && step < progress::kResetting;
        const double paced = requests ? pause * m_requestPace : pause;
        fixed += step == m_step ? std::max(0.0, paced - inStep) : paced;
    }

    const std::optional<double> transfer = TransferMs();
    if (!transfer) return std::nullopt;

    // The restore writes the items the backup read, at about its pace;
    // once it runs, its own steps count for the share of it they cover.
    double restore = 0;
    if (m_step < progress::kRestored) {
        if (!m_backupMs) return std::nullopt;
        double whole = *m_backupMs;
        double since = 0;
        if (m_step >= progress::kRestoreFirst) {
            since = tick - *m_restoreTick;
            const int done = m_step - progress::kRestoreFirst;
            if (done > 0) {
                const double measured = static_cast<double>(m_stepTick - *m_restoreTick) * kRestoreSteps / done;
                whole += (measured - whole) * done / kRestoreSteps;
            }
        }
        restore = std::max(0.0, whole - since) + kRestoreSettleMs;
    }
    return static_cast<std::uint32_t>(fixed + *transfer + restore);
}

void TimeLeftReporter::SetLineProgress(int line, int percent)
{
    m_inner.SetLineProgress(line, percent);
    const std::uint32_t tick = m_clock.TickCount();
    m_estimate.Progress(percent, tick);
    Tell(line, tick);
}

void TimeLeftReporter::ShowTransfer(int line, const std::string& image, std::uint64_t done, std::uint64_t total)
{
    m_inner.ShowTransfer(line, image, done, total);
    const std::uint32_t tick = m_clock.TickCount();
    m_estimate.Transfer(image, done, tick);
    Tell(line, tick);
}

void TimeLeftReporter::Tell(int line, std::uint32_t tick) { m_inner.ShowTimeLeft(line, m_estimate.LeftMs(tick), tick); }

}  // namespace workflow
