#include <gtest/gtest.h>

#include <algorithm>

#include "payload/manifest.h"
#include "payload_test_support.h"
#include "platform/payload_store.h"

namespace {

TEST(EmbeddedPayloadStore, HoldsEveryFirmwareFileByteForByte)
{
    for (const payload::Payload& entry : payload::kPayloads) {
        if (entry.source != payload::Source::Firmware) continue;
        SCOPED_TRACE(entry.fileName);
        const auto embedded = platform::PayloadStore().Find(entry.id);
        ASSERT_TRUE(embedded.has_value());
        const auto file = ReadFirmwareFile(UPGRADER_EMBEDDED_FIRMWARE_DIR, entry.fileName);
        ASSERT_EQ(embedded->size(), file.size());
        EXPECT_TRUE(std::equal(embedded->begin(), embedded->end(), file.begin()));
    }
}

TEST(EmbeddedPayloadStore, LacksTheProgramsNoBuildCarriesAndTheUnbuiltReplugLibrary)
{
    for (int id : {payload::kSetMode, payload::kNollexSetup, payload::kReplugLibrary}) {
        EXPECT_FALSE(platform::PayloadStore().Find(id).has_value()) << id;
    }
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
