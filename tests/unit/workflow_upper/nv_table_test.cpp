// The backup file's byte layout and how the file is saved, natively and
// under Wine, in a temporary folder.
#include "workflow/nv_backup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include "recording_reporter.h"
#include "test_backends.h"
#include "test_files.h"
#include "workflow/line_record.h"

namespace {

namespace fs = std::filesystem;
using workflow::kNvListedItems;
using workflow::NvItemList;
using workflow::NvRecord;
using workflow::NvTable;

std::uint16_t Le16(const Bytes& bytes, std::size_t at) { return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8); }

TEST(NvRecordLayout, LittleEndianFieldsAtFixedOffsets)
{
    NvRecord record;
    record.item = 0x1234;
    for (std::size_t i = 0; i < record.data.size(); ++i) record.data[i] = static_cast<std::uint8_t>(i + 1);
    record.status = 0xABCD;
    Bytes bytes(NvRecord::kSize, 0xEE);
    record.Encode(std::span<std::uint8_t, NvRecord::kSize>(bytes));

    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{0x34, 0x12, 0, 0}));
    EXPECT_TRUE(std::equal(record.data.begin(), record.data.end(), bytes.begin() + 4));
    EXPECT_EQ(Bytes(bytes.begin() + 132, bytes.end()), (Bytes{0xCD, 0xAB, 0, 0}));

    // Whatever the reserved bytes hold is ignored.
    for (const std::size_t reserved : {2, 3, 134, 135}) bytes[reserved] = 0x55;
    EXPECT_EQ(NvRecord::Decode(std::span<const std::uint8_t, NvRecord::kSize>(bytes)), record);
}

TEST(NvTableLayout, ListedItemsThenEndMarkThenEmptyRecord)
{
    const Bytes bytes = NvTable().Encode();
    ASSERT_EQ(bytes.size(), 133280u);
    for (std::size_t i = 0; i < kNvListedItems; ++i) {
        const std::size_t at = i * 136;
        ASSERT_EQ(Le16(bytes, at), NvItemList()[i]) << "record " << i;
        ASSERT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                bytes.begin() + static_cast<std::ptrdiff_t>(at + 136), [](auto b) { return b == 0; }))
            << "record " << i;
    }
    const auto end = bytes.begin() + 978 * 136;
    EXPECT_EQ(Le16(bytes, 978 * 136), 9999);
    EXPECT_TRUE(std::all_of(end + 2, bytes.end(), [](auto b) { return b == 0; }));
}

class NvSaveTest : public ::testing::Test {
protected:
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder.path)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The log line names the file and a non-zero cause code.
    static void ExpectSaveFailure(const std::string& entry, const std::string& file)
    {
        const std::string lead = "Line 3 fail to save data into " + file + " (";
        ASSERT_EQ(entry.rfind(lead, 0), 0u) << entry;
        EXPECT_TRUE(std::regex_match(entry.substr(lead.size()), std::regex("[1-9][0-9]*\\)"))) << entry;
    }

    TempFolder folder{"nv-save"};
    std::string path = (folder / "Channel1.nvm").string();
    TestBackends own;
    DownloadLine line{own.backends};
    RecordingReporter reporter;
    LineContext ctx{2, line, reporter};
};

// A file sharing its data with the line's temporary name keeps its bytes.
TEST_F(NvSaveTest, TableReplacesAnEarlierFileWholeNeverWritingThroughALink)
{
    std::ofstream(path, std::ios::binary) << "an earlier backup";
    const fs::path other = folder / "other";
    std::ofstream(other, std::ios::binary) << "other";
    std::error_code linked;
    fs::create_hard_link(other, path + ".3.tmp", linked);
    NvTable table;
    table[10].data.fill(0xA5);
    ASSERT_TRUE(workflow::SaveNvTable(ctx, table, path));
    EXPECT_EQ(ReadFile(path), table.Encode());
    EXPECT_EQ(ReadFile(other), (Bytes{'o', 't', 'h', 'e', 'r'}));
    EXPECT_EQ(Names(), (std::vector<std::string>{"Channel1.nvm", "other"}));
}

TEST_F(NvSaveTest, FailedSaveIsLoggedAndLeavesNothingBehind)
{
    fs::create_directory(path);
    std::ofstream(fs::path(path) / "inside") << "kept";
    EXPECT_FALSE(workflow::SaveNvTable(ctx, NvTable(), path));
    EXPECT_EQ(ReadFile(fs::path(path) / "inside"), (Bytes{'k', 'e', 'p', 't'}));
    EXPECT_EQ(Names(), std::vector<std::string>{"Channel1.nvm"});

    const std::string missing = (folder / "absent" / "Channel1.nvm").string();
    EXPECT_FALSE(workflow::SaveNvTable(ctx, NvTable(), missing));
    EXPECT_FALSE(fs::exists(folder / "absent"));

    const auto entries = reporter.Entries();
    ASSERT_EQ(entries.size(), 2u);
    ExpectSaveFailure(entries[0], path);
    ExpectSaveFailure(entries[1], missing);
}

}  // namespace
