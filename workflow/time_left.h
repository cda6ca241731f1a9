#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "workflow/line_reporting.h"

namespace workflow {

// How long the rest of a run takes, once its flash programmer is loaded. Most of it is the
// sequence's own fixed pauses, which are known in advance; the rest is
// measured as the run goes: the rate of the image transfers, the pace of the
// NV backup (the restore writes the same items back), and how much later
// than its fixed pause the device came back from its first restart.
// An image not yet sent takes a round trip per block at the pace measured
// on the images before it: on a link whose bandwidth rather than its round
// trips limits the large blocks, its estimate is short until its own first
// reports come in.
class TimeLeft {
public:
    // An image the run sends, by the name its transfer reports carry, and
    // the bytes it sends per round trip to the device.
    struct Image {
        std::string name;
        std::uint64_t bytes = 0;
        std::uint32_t blockBytes = 0;
    };

    explicit TimeLeft(std::vector<Image> images) : m_images(std::move(images)) {}

    void Progress(int percent, std::uint32_t tick);
    void Transfer(const std::string& image, std::uint64_t done, std::uint32_t tick);
    // Milliseconds left at `tick`: nothing until the programmer is loaded
    // with the backup's pace and an image's rate measured, 0 once the run is
    // done, nothing after it has ended.
    std::optional<std::uint32_t> LeftMs(std::uint32_t tick) const;

private:
    // What the reports of one image showed: the bytes sent, and the time
    // spent from one report of it to the next with the bytes sent in it.
    struct Sent {
        std::uint64_t bytes = 0;
        std::uint64_t timedBytes = 0;
        std::uint64_t timedMs = 0;
    };
    // The time the images still to send take; nothing while one of them
    // has no pace to go by.
    std::optional<double> TransferMs() const;

    const std::vector<Image> m_images;
    int m_step = -1;
    bool m_ended = false;
    std::uint32_t m_stepTick = 0;
    std::optional<std::uint32_t> m_offlineTick;
    std::optional<std::uint32_t> m_restartTick;
    double m_requestPace = 1.0;
    std::uint32_t m_lateReturnMs = 0;
    std::optional<std::uint32_t> m_backupTick;
    std::optional<std::uint32_t> m_backupMs;
    std::optional<std::uint32_t> m_restoreTick;
    std::map<std::string, Sent, std::less<>> m_sent;
    std::string m_lastImage;
    std::uint32_t m_lastTransferTick = 0;
};

// The line's reporter, with the time left of the run sent along with its
// progress and transfers.
class TimeLeftReporter final : public ILineReporter {
public:
    // The estimate goes by `clock`, the line's.
    TimeLeftReporter(ILineReporter& inner, platform::IClock& clock, std::vector<TimeLeft::Image> images)
        : m_inner(inner), m_clock(clock), m_estimate(std::move(images))
    {
    }

    void SetLineProgress(int line, int percent) override;
    void AppendLineText(int line, std::string_view text, bool stamped) override
    {
        m_inner.AppendLineText(line, text, stamped);
    }
    void ShowTransfer(int line, const std::string& image, std::uint64_t done, std::uint64_t total) override;
    void Reached(int line, RunPhase phase) override { m_inner.Reached(line, phase); }

private:
    void Tell(int line, std::uint32_t tick);

    ILineReporter& m_inner;
    platform::IClock& m_clock;
    TimeLeft m_estimate;
};

}  // namespace workflow
