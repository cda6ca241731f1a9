#pragma once

#include <gtest/gtest.h>

#include <map>

#include "diag/diag_commands.h"
#include "download/streaming.h"
#include "flashing/programmer_loading.h"
#include "line_sim_fixture.h"

using Blocks = std::vector<std::pair<std::uint32_t, std::size_t>>;  // address, length

// Line 1 against the simulated modem in its boot downloader; pauses of a
// second or more are the procedures' own.
class ProcedureSimTest : public LineSimTest {
protected:
    static constexpr int kDiagPort = 12;
    static constexpr int kModemPort = 13;

    ProcedureSimTest() : LineSimTest(1000) {}

    void SetUp() override
    {
        LineSimTest::SetUp();
        line.diagPort = kDiagPort;
        line.modemPort = kModemPort;
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
    // What follows counts from here, the opens of ports too.
    void Mark()
    {
        LineSimTest::Mark();
        ports.opens.clear();
    }
    // Streamed blocks; the address is little-endian behind the request code.
    Blocks StreamBlocks() const
    {
        Blocks blocks;
        for (const Bytes& p : PayloadsOf("swrite")) {
            blocks.emplace_back(p[1] | p[2] << 8 | p[3] << 16 | static_cast<std::uint32_t>(p[4]) << 24, p.size() - 5);
        }
        return blocks;
    }
};
