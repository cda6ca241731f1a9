#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "flashing/line_paths.h"
#include "platform/backends.h"
#include "platform/keep_awake.h"
#include "platform/message_box.h"
#include "platform/payload_store.h"
#include "platform/process.h"
#include "recording_form.h"
#include "sim_fixture.h"
#include "sim_port_finder.h"
#include "small_firmware.h"
#include "test_files.h"
#include "workflow/document.h"
#include "workflow/line_control.h"
#include "workflow/line_start.h"

class CountingThreads final : public IBackgroundThreads {
public:
    void StopPortSearch(int) override { ++portSearchStops; }
    void StartPortSearch(int) override { ++portSearchStarts; }
    void StopReplug() override { ++replugStops; }
    flashing::IReplugControl* Replug() override { return nullptr; }
    std::atomic<int> portSearchStops{0};
    std::atomic<int> portSearchStarts{0};
    std::atomic<int> replugStops{0};
};

// The run's message boxes: each is first shown to `onBox` (a user acting
// at a prompt), then recorded.
class HookedBoxes final : public platform::IMessageBoxes {
public:
    explicit HookedBoxes(platform::IMessageBoxes& record) : m_record(record) {}
    platform::BoxAnswer Show(const std::string& text, const std::string& title, platform::BoxButtons buttons,
                             platform::BoxIcon icon) override
    {
        if (onBox) onBox(text);
        return m_record.Show(text, title, buttons, icon);
    }
    // Set before a run starts.
    std::function<void(const std::string&)> onBox;

private:
    platform::IMessageBoxes& m_record;
};

// A simulated modem on the virtual clock, found and opened as the port
// search leaves it, with a small firmware set in a private working folder,
// and the line control of the application around line 1.
class UpgradeTest : public SimTest {
protected:
    UpgradeTest() : SimTest({.renumberStep = 2}) {}
    explicit UpgradeTest(sim::ModemConfig config) : SimTest(config) {}
    // The lines open their ports through `ports`, which wraps the served ones.
    explicit UpgradeTest(platform::ISerialPorts& ports) : SimTest({.renumberStep = 2}), linePorts(ports) {}

    void SetUp() override
    {
        WriteFirmware();
        DownloadLine& line = Line();
        ASSERT_TRUE(flashing::FillImagePaths(line, folder.String()));
        line.diagPort = modem.DiagPort();
        line.modemPort = modem.ModemPort();
        ASSERT_TRUE(OpenDiagPort(line, line.diagPort, 115200));
        ASSERT_TRUE(OpenModemPort(line, line.modemPort, 115200));
        ASSERT_TRUE(CheckPhoneInfo(line));
    }

    void TearDown() override
    {
        control.WaitForWorkers();
    }

    DownloadLine& Line() { return doc.Line(0); }

    void Run()
    {
        control.StartLine(0);
        control.WaitForWorkers();
    }

    void WriteFirmware()
    {
        images = SmallFirmware();
        for (const auto& [name, bytes] : images) WriteFile(folder / name, bytes);
    }

    std::vector<std::string> Boxes() const { return boxes.Texts(); }

    SimPortFinder finder{served};
    SwitchedFinder lineFinder{finder};
    platform::RecordingMessageBoxes boxes;
    HookedBoxes shownBoxes{boxes};
    platform::RecordingProcess process;
    platform::RecordingKeepAwake awake;
    platform::MemoryPayloadStore payloads;

    TempFolder folder{"upgrade"};
    std::map<std::string, std::vector<std::uint8_t>> images;

    platform::ISerialPorts& linePorts = served;
    CVadodIVODAvuzUzovDoc doc{{clock, linePorts, awake, process, lineFinder, shownBoxes, payloads}, folder.String()};
    RecordingForm form{doc};
    LineReporting report{form, clock};
    CountingThreads threads;
    LineControl control{doc, report, form, threads};
};
