#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "flashing/high_speed_download.h"
#include "recording_reporter.h"
#include "sim_fixture.h"
#include "workflow/line_record.h"

using Bytes = std::vector<std::uint8_t>;

inline Bytes Pattern(std::size_t size, std::uint32_t seed)
{
    Bytes bytes(size);
    for (auto& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
}

// A line whose flash programmer runs on the simulated modem, with image
// files in a private temporary folder.
class HighSpeedTest : public SimTest {
protected:
    static constexpr std::uint8_t kAmssType = 5;
    static constexpr std::uint8_t kEfsType = 9;

    void SetUp() override
    {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        folder = std::filesystem::temp_directory_path() / ("high-speed-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::create_directories(folder);

        CSerialPort& port = line.protocol.port;
        ASSERT_TRUE(port.Open(modem.DiagPort(), 115200, 8, 1));
        ASSERT_TRUE(diag::SwitchToDownloader(line.protocol));
        Wait(1500);
        port.Close();
        ASSERT_TRUE(port.Open(modem.DiagPort(), 115200, 8, 1));
        const Bytes programmer = Pattern(1000, 1);
        ASSERT_TRUE(download::DmssWrite(line.protocol, 0x800000, programmer.data(), 1000));
        ASSERT_TRUE(download::DmssGo(line.protocol, 0x0080, 0x0000));
        ASSERT_TRUE(download::Hello(line.protocol));
        ASSERT_TRUE(download::EnterSecurityMode(line.protocol));
        ASSERT_EQ(modem.Mode(), sim::SimMode::Programmer);
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::string File(const std::string& name, const Bytes& bytes)
    {
        const auto path = folder / name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

    void OpenEfs() { ASSERT_TRUE(download::OpenMultiImage(line.protocol, kEfsType, nullptr, 0)); }

    bool Fault(const std::string& text)
    {
        std::string error;
        return modem.faults().Parse(text, error);
    }

    const Bytes& Stored(std::uint8_t type) { return modem.Images().at(type).data; }

    std::filesystem::path folder;
    DownloadLine line;
    RecordingReporter reporter;
    LineContext context{0, line, reporter};
};
