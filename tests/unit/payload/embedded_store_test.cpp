// The store this program carries (under Wine: its Windows resources) and the
// start-up extraction from it into a working folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "flashing/image_set.h"
#include "payload/manifest.h"
#include "payload_test_support.h"
#include "platform/payload_store.h"

namespace {

TEST(EmbeddedPayloadStore, ExtractsEveryFirmwareFileByteForByteAndEmptyFilesForTheRest)
{
    const auto folder = std::filesystem::temp_directory_path() /
                        ("extraction-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(folder);
    {
        flashing::ScopedWorkingFolder working(folder.string());
        static_cast<void>(flashing::ExtractWorkingFiles());  // each file is checked below
    }
    for (const payload::Payload& entry : payload::kPayloads) {
        SCOPED_TRACE(entry.fileName);
        ASSERT_TRUE(std::filesystem::exists(folder / std::string(entry.fileName)));
        const auto written = ReadFirmwareFile(folder.string(), entry.fileName);
        if (entry.source == payload::Source::Firmware) {
            EXPECT_EQ(written, ReadFirmwareFile(UPGRADER_EMBEDDED_FIRMWARE_DIR, entry.fileName));
        } else {
            // The programs no build carries and the unbuilt re-plug library.
            EXPECT_FALSE(platform::PayloadStore().Find(entry.id).has_value());
            EXPECT_TRUE(written.empty());
        }
    }
    std::filesystem::remove_all(folder);
}

TEST(EmbeddedPayloadStore, GivesWayToAStoreInstalledForAScope)
{
    platform::MemoryPayloadStore memory;
    memory.Add(payload::kSetMode, {1, 2});
    {
        platform::ScopedPayloadStore scoped(memory);
        EXPECT_FALSE(platform::PayloadStore().Find(payload::kAmss).has_value());
        EXPECT_TRUE(platform::PayloadStore().Find(payload::kSetMode).has_value());
    }
    EXPECT_TRUE(platform::PayloadStore().Find(payload::kAmss).has_value());
    EXPECT_FALSE(platform::PayloadStore().Find(payload::kSetMode).has_value());
}

}  // namespace
