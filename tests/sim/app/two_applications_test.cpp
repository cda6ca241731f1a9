// Two whole applications in one process, each with its own backends, its
// own working folder and its own simulated modem, upgrading at the same
// time: nothing one of them installs or changes reaches the other.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <latch>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/session.h"
#include "payload/manifest.h"
#include "platform/backends.h"
#include "sim/inprocess_modem.h"
#include "sim_port_finder.h"
#include "small_firmware.h"
#include "test_files.h"
#include "workflow/nv_backup.h"

namespace {

// One application under an unattended face: every box takes its default
// answer, and "UPDATE" is pressed as soon as it may be.
class UnattendedApplication final : public app::ISessionFace {
public:
    UnattendedApplication(const std::string& name, std::uint32_t esn)
        : m_modem({.renumberStep = 2, .esn = esn}), m_folder(name), m_name(name)
    {
        for (const payload::Payload& entry : payload::kPayloads) {
            const auto image = m_images.find(std::string(entry.fileName));
            if (image != m_images.end()) m_payloads.Add(entry.id, image->second);
        }
        for (std::uint16_t item : workflow::NvItemList()) {
            if (item < workflow::kNvEndMark) m_nvBefore[item] = m_modem.nv().Value(item);
        }
    }

    // The whole program: start-up, the run, the close and the clean-up.
    // No run starts before `started` says every application is up.
    int Run(std::latch& started)
    {
        const platform::Backends backends{m_clock, m_served, m_awake, m_process, m_finder, m_unused, m_payloads};
        app::Session session(*this, backends,
                             {m_folder.String(), nullptr, true, "upgrader-two-" + m_name + "-" +
                                                                     m_folder.path.filename().string()});
        const bool up = session.Start() == app::StartUp::Running;
        started.arrive_and_wait();
        if (!up) return -1;
        for (;;) {
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait_for(lock, std::chrono::milliseconds(10), [&] { return m_changes > 0; });
                m_changes = 0;
            }
            if (session.Pump().closeNow) break;
        }
        return session.Finish();
    }

    void Changed() override
    {
        std::lock_guard lock(m_mutex);
        ++m_changes;
        m_changed.notify_all();
    }
    platform::BoxAnswer Ask(const app::Prompt& prompt) override
    {
        std::lock_guard lock(m_mutex);
        m_asked.push_back(prompt.text);
        return prompt.buttons == platform::BoxButtons::YesNo ? platform::BoxAnswer::Yes : platform::BoxAnswer::Ok;
    }

    std::vector<std::string> Asked()
    {
        std::lock_guard lock(m_mutex);
        return m_asked;
    }
    void ExpectUpgraded()
    {
        ExpectFlashed(m_modem, m_images);
        std::vector<std::uint16_t> changed;
        for (const auto& [item, value] : m_nvBefore) {
            if (m_modem.nv().Value(item) != value) changed.push_back(item);
        }
        EXPECT_EQ(changed, std::vector<std::uint16_t>{}) << "NV items not restored";
        EXPECT_TRUE(m_unused.Texts().empty()) << "a box went past the session";
        EXPECT_EQ(m_awake.holds, 1);
        EXPECT_FALSE(m_awake.held);
    }

private:
    std::map<std::string, Bytes> m_images = SmallFirmware();
    platform::VirtualClock m_clock;
    sim::SimModem m_modem;
    sim::InProcessModem m_served{m_modem, m_clock};
    SimPortFinder m_finder{m_served};
    platform::RecordingKeepAwake m_awake;
    platform::RecordingProcess m_process;
    // The session asks every box of its own; none may come here.
    platform::RecordingMessageBoxes m_unused;
    platform::MemoryPayloadStore m_payloads;
    TempFolder m_folder;
    std::string m_name;
    std::map<std::uint16_t, sim::NvData> m_nvBefore;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_changes = 0;
    std::vector<std::string> m_asked;
};

TEST(TwoApplications, EachUpgradesItsOwnModemAtTheSameTime)
{
    UnattendedApplication first("first", 0x11111111);
    UnattendedApplication second("second", 0x22222222);
    std::latch started(2);
    int firstStatus = -2;
    int secondStatus = -2;
    std::thread one([&] { firstStatus = first.Run(started); });
    std::thread two([&] { secondStatus = second.Run(started); });
    one.join();
    two.join();

    EXPECT_EQ(firstStatus, app::kSucceeded);
    EXPECT_EQ(secondStatus, app::kSucceeded);
    for (UnattendedApplication* application : {&first, &second}) {
        const std::vector<std::string> asked = application->Asked();
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].rfind("Update success!", 0), 0u) << asked[0];
        application->ExpectUpgraded();
    }
}

}  // namespace
