#pragma once

#include "../procedures/procedure_fixture.h"
#include "flashing/high_speed_download.h"

// Line 1 with its flash programmer running on the simulated modem, ready for
// the two large images.
class HighSpeedTest : public ProcedureSimTest {
protected:
    static constexpr std::uint8_t kAmssType = 5;
    static constexpr std::uint8_t kEfsType = 9;

    void SetUp() override
    {
        ProcedureSimTest::SetUp();
        RunProgrammer();
    }
    void OpenEfs() { ASSERT_TRUE(download::OpenMultiImage(line.protocol, kEfsType, nullptr, 0)); }
    const Bytes& Stored(std::uint8_t type) { return modem.Images().at(type).data; }
    // The checksum bytes the programmer received with each block, in order.
    std::vector<Bytes> SentChecksums() const { return PayloadsOf("rawblock"); }
};
