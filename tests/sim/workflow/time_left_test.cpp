// The time left a run reports, against the time it really took from there,
// on the virtual clock.
#include <gtest/gtest.h>

#include <cstdio>

#include "upgrade_fixture.h"
#include "workflow/upgrade_progress.h"

namespace {

// The form, with every estimate the run reports and the step it came at.
class EstimatesForm final : public IFormLink {
public:
    explicit EstimatesForm(IFormLink& inner) : m_inner(inner) {}
    void RefreshPortField(int line) override { m_inner.RefreshPortField(line); }
    void RefreshDeviceText(int line) override { m_inner.RefreshDeviceText(line); }
    void RefreshLineControls(int line, bool enable) override { m_inner.RefreshLineControls(line, enable); }
    void ShowLineText(int line, const std::string& text) override { m_inner.ShowLineText(line, text); }
    void ShowProgress(int line, int percent) override
    {
        m_inner.ShowProgress(line, percent);
        step = percent;
    }
    void RequestClose() override { m_inner.RequestClose(); }
    void ShowTimeLeft(int, std::optional<std::uint32_t> leftMs, std::uint32_t tick) override
    {
        estimates.push_back({step, tick, leftMs});
    }

    struct Estimate {
        int step;
        std::uint32_t tick;
        std::optional<std::uint32_t> leftMs;
    };
    int step = 0;
    std::vector<Estimate> estimates;

private:
    IFormLink& m_inner;
};

TEST_F(UpgradeTest, TimeLeftIsWithinATenthFromTheFirstImageOn)
{
    EstimatesForm estimates(form);
    LineReporting reporting(estimates, clock);
    LineControl line{doc, reporting, estimates, threads};
    line.StartLine(0);
    line.WaitForWorkers();
    ASSERT_EQ(Boxes().size(), 1u);
    ASSERT_EQ(boxes.Boxes().back().title, "Congratulations");

    const std::uint32_t end = form.ProgressTicks().back();
    double largest = 0;
    int counted = 0;
    for (const auto& estimate : estimates.estimates) {
        // Nothing is promised before the programmer is loaded, nor once the
        // progress is back at 0.
        if (estimate.step < progress::kProgrammerLoaded) {
            EXPECT_FALSE(estimate.leftMs) << "an estimate at step " << estimate.step;
            continue;
        }
        ASSERT_TRUE(estimate.leftMs) << "no estimate at step " << estimate.step;
        if (estimate.step < progress::kSecurityMode || estimate.tick >= end) continue;
        const double real = end - estimate.tick;
        largest = std::max(largest, std::abs(*estimate.leftMs - real) / real);
        ++counted;
    }
    std::printf("time left: largest error %.1f %% over %d estimates from the first image on\n", 100 * largest, counted);
    EXPECT_GT(counted, 30);
    EXPECT_LE(largest, 0.10);
}

}  // namespace
