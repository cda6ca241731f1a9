#pragma once

#include <gtest/gtest.h>

#include <map>

#include "flashing/line_paths.h"
#include "line_parts.h"
#include "sim_fixture.h"
#include "test_files.h"

using Names = std::vector<std::string>;
using Pauses = std::vector<std::uint32_t>;

// A clock that writes down every pause of at least `floor` ms on its way to
// another: below it are the polls and reply waits, above it the procedures'
// own pauses.
class PauseRecordingClock final : public platform::IClock {
public:
    PauseRecordingClock(platform::IClock& inner, std::uint32_t floor) : m_inner(inner), m_floor(floor) {}
    void SleepMs(std::uint32_t ms) override
    {
        if (ms >= m_floor) pauses.push_back(ms);
        m_inner.SleepMs(ms);
    }
    std::uint32_t TickCount() override { return m_inner.TickCount(); }
    platform::LocalTime Now() override { return m_inner.Now(); }
    Pauses pauses;

private:
    platform::IClock& m_inner;
    std::uint32_t m_floor;
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

// What line 1 waits on and opens ports through: the simulated modem's clock
// with its pauses written down, and its ports with their opens counted.
struct SeenBackends {
    SeenBackends(platform::IClock& clock, platform::ISerialPorts& served, std::uint32_t pauseFloor)
        : clockSeen(clock, pauseFloor), ports(served)
    {
    }
    PauseRecordingClock clockSeen;
    CountingPorts ports;
};

// Line 1 against the simulated modem, its image paths in a private folder;
// the requests, log entries and pauses that follow Mark() are looked at.
class LineSimTest : public SimTest, protected SeenBackends, protected LineParts {
protected:
    explicit LineSimTest(std::uint32_t pauseFloor)
        : SeenBackends(clock, served, pauseFloor), LineParts(clockSeen, ports)
    {
    }

    void SetUp() override { ASSERT_TRUE(flashing::FillImagePaths(line, folder.String())); }

    // Writes a file of the image folder and gives its path.
    std::string Write(const std::string& name, const Bytes& bytes) const
    {
        WriteFile(folder / name, bytes);
        return (folder / name).string();
    }
    void Mark()
    {
        m_mark = modem.Received().size();
        m_entries = reporter.Entries().size();
        clockSeen.pauses.clear();
    }
    Names Requests() const
    {
        Names names;
        for (std::size_t i = m_mark; i < modem.Received().size(); ++i) names.push_back(modem.Received()[i].name);
        return names;
    }
    // The payloads of one kind of request, in the order sent.
    std::vector<Bytes> PayloadsOf(const std::string& request) const
    {
        std::vector<Bytes> payloads;
        for (std::size_t i = m_mark; i < modem.Received().size(); ++i) {
            if (modem.Received()[i].name == request) payloads.push_back(modem.Received()[i].payload);
        }
        return payloads;
    }
    Names Entries() const
    {
        const Names all = reporter.Entries();
        return Names(all.begin() + static_cast<std::ptrdiff_t>(m_entries), all.end());
    }

    TempFolder folder{"line-sim"};

private:
    std::size_t m_mark = 0;
    std::size_t m_entries = 0;
};
