// The run journal's file: only a whole journal is trusted, a damaged one is
// set aside and named, and one whose backup is gone is kept but not taken.
#include <gtest/gtest.h>

#include <filesystem>

#include "link/md5.h"
#include "test_files.h"
#include "workflow/nv_backup.h"
#include "workflow/run_journal.h"

namespace {

namespace fs = std::filesystem;
using workflow::RunJournal;

const RunJournal kJournal{0x12345678, "Channel1-12345678-20261209-101500.nvm", 12, 13, RunPhase::ModemSoftware};

TEST(RunJournalTest, TextRoundTripsAndAnythingElseIsRefused)
{
    const std::string text = kJournal.Encode();
    EXPECT_TRUE(text.starts_with("upgrade run journal 1\nesn 12345678\nbackup Channel1-12345678-20261209-101500.nvm\n"
                                 "diag 12\nmodem 13\nphase modem-software\nmd5 "))
        << text;
    EXPECT_EQ(RunJournal::Decode(text), kJournal);

    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string changed = text;
        changed.replace(changed.find(from), from.size(), to);
        return changed;
    };
    RunJournal withPath = kJournal;
    withPath.backup = "../Channel1.nvm";
    const std::string refused[] = {
        "",
        text.substr(0, text.size() - 1),                    // cut short
        text + "\n",                                        // something after it
        replaced("modem-software", "modem-softwarx"),       // its digest no longer matches
        replaced("esn 12345678", "esn 12345679"),
        withPath.Encode(),                                  // a backup outside the folder
        std::string(text.size(), '\xFF'),
    };
    for (const std::string& bad : refused) EXPECT_FALSE(RunJournal::Decode(bad)) << bad;

    // A phase this program does not know, with a digest that matches it.
    std::string unknown = replaced("phase modem-software\n", "phase unknown\n");
    unknown.erase(unknown.find("md5 "));
    std::string digest;
    for (const std::uint8_t byte : md5::Compute(reinterpret_cast<const std::uint8_t*>(unknown.data()), unknown.size())) {
        digest += "0123456789abcdef"[byte >> 4];
        digest += "0123456789abcdef"[byte & 15];
    }
    EXPECT_FALSE(RunJournal::Decode(unknown + "md5 " + digest + "\n"));
}

TEST(RunJournalTest, FindTrustsWholeJournalsWithTheirBackupAndSetsDamagedOnesAside)
{
    TempFolder folder{"journal"};
    const std::string dir = folder.String();
    ASSERT_TRUE(workflow::SaveJournal(dir, kJournal));
    WriteFile(folder / kJournal.backup, Bytes(workflow::NvTable::kSize));

    // One whose backup is one byte short, one of garbage, and one whose name
    // and ESN differ.
    RunJournal shortBackup = kJournal;
    shortBackup.esn = 0xABCDEF01;
    shortBackup.backup = "short.nvm";
    ASSERT_TRUE(workflow::SaveJournal(dir, shortBackup));
    WriteFile(folder / "short.nvm", Bytes(workflow::NvTable::kSize - 1));
    WriteFile(folder / "RunJournal-0000BEEF.txt", Bytes(40, 'x'));
    fs::copy_file(workflow::JournalPath(dir, kJournal.esn), workflow::JournalPath(dir, 0x11111111));

    const workflow::FoundJournals found = workflow::FindJournals(dir, {2026, 12, 5, 9, 5, 7});
    ASSERT_EQ(found.journals.size(), 1u);
    EXPECT_EQ(found.journals.front(), kJournal);
    EXPECT_EQ(workflow::JournalOf(found, 0x12345678), kJournal);
    EXPECT_FALSE(workflow::JournalOf(found, 0xABCDEF01));
    ASSERT_EQ(found.notes.size(), 3u);
    int damaged = 0;
    for (const std::string& note : found.notes) {
        if (note.find("cannot be read whole and is not trusted: kept as ") != std::string::npos) ++damaged;
    }
    EXPECT_EQ(damaged, 2);
    EXPECT_TRUE(fs::exists(workflow::JournalPath(dir, 0xABCDEF01))) << "kept while its backup is not whole";
    EXPECT_FALSE(fs::exists(folder / "RunJournal-0000BEEF.txt"));
    int aside = 0;
    for (const auto& entry : fs::directory_iterator(dir)) aside += entry.path().filename().string().find("-damaged-") != std::string::npos;
    EXPECT_EQ(aside, 2);
    EXPECT_EQ(workflow::FindJournals(dir, {2026, 12, 5, 9, 5, 7}).notes.size(), 1u) << "set aside, they are not found again";
}

}  // namespace
