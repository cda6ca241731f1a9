#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

#include "diag/diag_commands.h"
#include "download/streaming.h"
#include "flashing/image_set.h"
#include "flashing/programmer_loading.h"
#include "platform/message_box.h"
#include "recording_reporter.h"
#include "sim_fixture.h"

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;
using Pauses = std::vector<std::uint32_t>;
using Blocks = std::vector<std::pair<std::uint32_t, std::size_t>>;  // address, length

inline Bytes Pattern(std::size_t size, std::uint32_t seed)
{
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return bytes;
}

// The fixture's virtual clock, writing down every pause of a second or
// more: polls and reply waits are shorter, so these are the procedures' own.
class PauseRecordingClock final : public platform::IClock {
public:
    explicit PauseRecordingClock(platform::IClock& inner) : m_inner(inner) {}
    void SleepMs(std::uint32_t ms) override
    {
        if (ms >= 1000) pauses.push_back(ms);
        m_inner.SleepMs(ms);
    }
    std::uint32_t TickCount() override { return m_inner.TickCount(); }
    platform::LocalTime Now() override { return m_inner.Now(); }
    Pauses pauses;

private:
    platform::IClock& m_inner;
};

// The served modem's ports, counting the opens of each number.
class CountingPorts final : public platform::ISerialPorts {
public:
    explicit CountingPorts(platform::ISerialPorts& inner) : m_inner(inner) {}
    std::unique_ptr<platform::ISerialDevice> OpenPort(int number) override
    {
        ++opens[number];
        return m_inner.OpenPort(number);
    }
    std::map<int, int> opens;

private:
    platform::ISerialPorts& m_inner;
};

// Line 1 against the simulated modem in its boot downloader, its image
// paths in a temporary folder.
class ProcedureSimTest : public SimTest {
protected:
    static constexpr int kDiagPort = 12;
    static constexpr int kModemPort = 13;

    ProcedureSimTest() { std::filesystem::create_directories(folder); }
    ~ProcedureSimTest() override { std::filesystem::remove_all(folder); }

    void SetUp() override
    {
        line.diagPort = kDiagPort;
        line.modemPort = kModemPort;
        ASSERT_TRUE(flashing::FillImagePaths(line, folder.string()));
        ASSERT_TRUE(OpenDiagPort(line, kDiagPort, 115200));
        ASSERT_TRUE(diag::SwitchToDownloader(line.protocol));
        Wait(1500);
        ASSERT_TRUE(OpenDiagPort(line, kDiagPort, 115200));
        Mark();
    }
    // Loads and starts the flash programmer, ready for images.
    void RunProgrammer()
    {
        Write("armprg.bin", Pattern(2000, 1));
        ASSERT_TRUE(flashing::LoadRamProgrammer(ctx));
        ASSERT_TRUE(flashing::StartProgrammer(ctx));
        ASSERT_TRUE(download::EnterSecurityMode(line.protocol));
        Mark();
    }
    // Writes a file of the image folder and gives its path.
    std::string Write(const std::string& name, const Bytes& bytes) const
    {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return (folder / name).string();
    }
    // What follows counts from here: requests, log entries, pauses, opens.
    void Mark()
    {
        m_mark = modem.Received().size();
        m_entries = reporter.Entries().size();
        clockSeen.pauses.clear();
        ports.opens.clear();
    }
    Names Requests() const
    {
        Names names;
        for (std::size_t i = m_mark; i < modem.Received().size(); ++i) names.push_back(modem.Received()[i].name);
        return names;
    }
    Names Entries() const
    {
        const Names all = reporter.Entries();
        return Names(all.begin() + static_cast<std::ptrdiff_t>(m_entries), all.end());
    }
    // Streamed blocks; the address is little-endian behind the request code.
    Blocks StreamBlocks() const
    {
        Blocks blocks;
        for (std::size_t i = m_mark; i < modem.Received().size(); ++i) {
            const auto& p = modem.Received()[i].payload;
            if (modem.Received()[i].name == "swrite") {
                blocks.emplace_back(p[1] | p[2] << 8 | p[3] << 16 | static_cast<std::uint32_t>(p[4]) << 24, p.size() - 5);
            }
        }
        return blocks;
    }

    std::filesystem::path folder = std::filesystem::temp_directory_path() /
        ("procedures-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    PauseRecordingClock clockSeen{clock};
    platform::ScopedClock useClockSeen{clockSeen};
    CountingPorts ports{served};
    platform::ScopedSerialPorts useCounting{ports};
    platform::RecordingMessageBoxes boxes;
    platform::ScopedMessageBoxes useBoxes{boxes};
    DownloadLine line;
    RecordingReporter reporter;
    LineContext ctx{0, line, reporter};

private:
    std::size_t m_mark = 0;
    std::size_t m_entries = 0;
};
