// The start-up extraction from the store this program carries (under Wine:
// from its Windows resources) into a working folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "flashing/image_set.h"
#include "payload/manifest.h"
#include "payload_test_support.h"

namespace {

TEST(EmbeddedPayloadExtraction, WritesEveryPayloadByteForByteAndEmptyFilesForTheMissingIds)
{
    const auto folder = std::filesystem::temp_directory_path() /
                        ("extraction-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(folder);
    {
        flashing::ScopedWorkingFolder working(folder.string());
        flashing::ExtractWorkingFiles();
    }
    for (const payload::Payload& entry : payload::kPayloads) {
        SCOPED_TRACE(entry.fileName);
        const auto path = folder / std::string(entry.fileName);
        ASSERT_TRUE(std::filesystem::exists(path));
        const auto written = ReadFirmwareFile(folder.string(), entry.fileName);
        if (entry.source == payload::Source::Firmware) {
            EXPECT_EQ(written, ReadFirmwareFile(UPGRADER_EMBEDDED_FIRMWARE_DIR, entry.fileName));
        } else {
            EXPECT_TRUE(written.empty());
        }
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
