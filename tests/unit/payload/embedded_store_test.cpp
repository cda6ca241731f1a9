// The start-up extraction from the store this program carries (under Wine:
// its Windows resources) into a working folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "flashing/extraction.h"
#include "payload/manifest.h"
#include "platform/payload_store.h"
#include "test_backends.h"
#include "test_files.h"

namespace {

TEST(EmbeddedPayloadStore, ExtractsEveryFirmwareFileByteForByteAndEmptyFilesForTheRest)
{
    TempFolder folder("extraction");
    // An older, longer file is replaced, not overwritten in place.
    WriteFile(folder / "partition.mbn", Bytes(5000, 0xFF));
    OtherBackends others;
    platform::VirtualClock clock;
    platform::MemorySerialPorts ports;
    const platform::Backends embedded{clock,         ports, others.awake, others.process, others.finder,
                                      others.boxes, platform::EmbeddedPayloads()};
    static_cast<void>(flashing::ExtractWorkingFiles(folder.String(), embedded));  // each file is checked below
    for (const payload::Payload& entry : payload::kPayloads) {
        SCOPED_TRACE(entry.fileName);
        ASSERT_TRUE(std::filesystem::exists(folder / std::string(entry.fileName)));
        const Bytes written = ReadFile(folder / std::string(entry.fileName));
        if (entry.source == payload::Source::Firmware) {
            const Bytes carried = ReadFile(std::filesystem::path(UPGRADER_EMBEDDED_FIRMWARE_DIR) / entry.fileName);
            EXPECT_FALSE(carried.empty());
            EXPECT_EQ(written, carried);
#ifdef UPGRADER_EMBEDDED_REPLUG_LIBRARY
        } else if (entry.source == payload::Source::Built) {
            const Bytes built = ReadFile(UPGRADER_EMBEDDED_REPLUG_LIBRARY);
            EXPECT_FALSE(built.empty());
            EXPECT_EQ(written, built);
#endif
        } else {
            // The programs no build carries, and on Linux the re-plug library.
            EXPECT_FALSE(platform::EmbeddedPayloads().Find(entry.id).has_value());
            EXPECT_TRUE(written.empty());
        }
    }
}

}  // namespace
