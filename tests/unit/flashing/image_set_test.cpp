// The image set on disk, natively and under Wine, in a temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "flashing/check_block.h"
#include "flashing/clean_up.h"
#include "flashing/extraction.h"
#include "flashing/image_file.h"
#include "flashing/line_paths.h"
#include "flashing/paths.h"
#include "flashing/pre_run_check.h"
#include "flashing/replug_control.h"
#include "flashing/working_folder.h"
#include "line_parts.h"
#include "payload/manifest.h"
#include "platform/backends.h"
#include "platform/payload_store.h"
#include "test_backends.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

const char* const kCheckedFiles[] = {"partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsblhd.mbn",
                                     "oemsbl.mbn",    "amsshd.mbn",          "amss.mbn"};

class ImageSetTest : public ::testing::Test, protected ClockAndPorts, protected LineParts {
protected:
    ImageSetTest() : LineParts(clock, ports) { fs::create_directories(folder); }

    fs::path At(const std::string& name) const { return folder / name; }
    void Write(const std::string& name, const Bytes& bytes) const { WriteFile(At(name), bytes); }
    Bytes Read(const std::string& name) const { return ReadFile(At(name)); }
    bool Check(bool deviceRequired = false) { return flashing::CheckImageFolder(ctx, deviceRequired); }

    bool Extract(const payload::Payload& payload) { return flashing::ExtractPayload(folder.string(), payload, line.Backends()); }
    bool ExtractAll() { return flashing::ExtractWorkingFiles(folder.string(), line.Backends()); }

    TempFolder root{"flashing"};
    fs::path folder = root / "work";
    platform::MemoryPayloadStore& store = others.payloads;
};

TEST_F(ImageSetTest, PathRulesAndPrivateFolders)
{
    using flashing::PathExists;
    const std::string sep(1, flashing::kPathSeparator);
    Write("a.mbn", {1});
    EXPECT_TRUE(PathExists(folder.string() + sep));
    EXPECT_TRUE(PathExists(At("a.mbn").string() + sep));
    EXPECT_FALSE(PathExists(At("b.mbn").string()));
    EXPECT_FALSE(PathExists(""));
    // No wildcard search: patterns that would match a.mbn name nothing.
    EXPECT_FALSE(PathExists(At("*.mbn").string()));
    EXPECT_FALSE(PathExists(At("?.mbn").string()));
#ifdef _WIN32
    EXPECT_TRUE(PathExists("Q:\\"));  // a drive root, whether or not it is there
    EXPECT_FALSE(PathExists("ab\\"));
#else
    EXPECT_TRUE(PathExists("/"));
#endif

    EXPECT_TRUE(flashing::EnsureFolder(At("child").string()));
    EXPECT_TRUE(flashing::EnsureFolder(At("child").string()));
    EXPECT_FALSE(flashing::EnsureFolder((folder / "missing" / "grandchild").string()));
    EXPECT_FALSE(flashing::EnsureFolder(At("a.mbn").string()));
#ifndef _WIN32
    const fs::path working = root / "state" / "firmware";
    EXPECT_TRUE(flashing::PrepareWorkingFolder(working.string()));
    for (const fs::path& made : {At("child"), working, working.parent_path()}) {
        EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all) << made;
    }
#endif
}

TEST_F(ImageSetTest, FileThatCannotBeWrittenShowsItsMessageExceptTheNandProgrammerFiles)
{
    for (const auto& payload : payload::kPayloads) store.Add(payload.id, Pattern(64, payload.id));
    for (const char* name : {"efs.mbn", "nandprghd.mbn", "nandprgcombined.mbn", "Hopcycle.dll"}) {
        fs::create_directory(At(name));
    }
    EXPECT_FALSE(ExtractAll());
    EXPECT_EQ(boxes.Texts(), (Texts{"read efs.mbn fail!", "read Hopcycle.dll fail!"}));
    EXPECT_EQ(Read("oemsbl.mbn"), Pattern(64, 168));
    // The firmware whole, the re-plug library not: a run may still be offered.
    for (const char* name : {"efs.mbn", "nandprghd.mbn", "nandprgcombined.mbn"}) fs::remove(At(name));
    EXPECT_TRUE(ExtractAll());
    EXPECT_EQ(boxes.Texts().back(), "read Hopcycle.dll fail!");
#ifndef _WIN32
    // A cut-off image must not stay behind to be flashed, nor an older one.
    {
        FileSizeLimit limit(10);
        EXPECT_FALSE(Extract(payload::kAmss));
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(At("amss.mbn"))));
    EXPECT_FALSE(fs::exists(At("amss.mbn.new")));
    EXPECT_EQ(boxes.Texts().back(), "read amss.mbn fail!");
#endif
}

// Links planted at an image's name or at the temporary name beside it are
// replaced; what they lead to keeps its bytes.
TEST_F(ImageSetTest, ExtractionReplacesLinksInsteadOfWritingThroughThem)
{
    store.Add(169, Pattern(464, 1));
    store.Add(164, Pattern(5000, 2));
    const fs::path precious = root / "precious";
    WriteFile(precious, Pattern(100, 3));
    std::error_code linked;
    fs::create_symlink(precious, At("partition.mbn"), linked);
    if (linked) GTEST_SKIP() << "no symbolic links here: " << linked.message();
    fs::create_symlink(precious, At("amss.mbn.new"));
    fs::create_hard_link(precious, At("amss.mbn"));

    ASSERT_TRUE(Extract(payload::kPartitionTable));
    ASSERT_TRUE(Extract(payload::kAmss));
    EXPECT_EQ(ReadFile(precious), Pattern(100, 3));
    EXPECT_EQ(fs::hard_link_count(precious), 1u);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(At("partition.mbn"))));
    EXPECT_EQ(Read("partition.mbn"), Pattern(464, 1));
    EXPECT_EQ(Read("amss.mbn"), Pattern(5000, 2));
    EXPECT_FALSE(fs::exists(fs::symlink_status(At("amss.mbn.new"))));
}

TEST_F(ImageSetTest, ImagePathsFollowTheFolderOrAreRefusedWhole)
{
    ASSERT_TRUE(flashing::FillImagePaths(line, folder.string()));
    EXPECT_EQ(line.record.partitionPath.Get(), folder.string() + flashing::kPathSeparator + "partition.mbn");
    EXPECT_EQ(line.record.nvBackupPath.Get(), At("Channel1.nvm").string());
    // The longest name in a 256-character field leaves room for 235.
    const std::string fits(235, 'f');
    EXPECT_TRUE(flashing::FillImagePaths(line, fits));
    EXPECT_FALSE(flashing::FillImagePaths(line, std::string(236, 'g')));
    EXPECT_EQ(line.record.imageFolder.Get(), fits);
    EXPECT_EQ(line.record.nandImagePath.Get(), flashing::JoinPath(fits, "nandprgcombined.mbn"));
}

TEST_F(ImageSetTest, CheckStopsBeforeTheFilesWithoutFolderOrDevice)
{
    EXPECT_FALSE(Check());
    LineContext third{2, line, reporter};
    EXPECT_FALSE(flashing::CheckImageFolder(third, true));
    ASSERT_TRUE(flashing::FillImagePaths(line, folder.string()));  // empty: any open would be shown
    for (LineState state : {LineState::None, LineState::NoPhone}) {
        line.state = state;
        EXPECT_FALSE(Check(true));
    }
    EXPECT_EQ(boxes.Texts(), (Texts{"Line1 : You didn't load the firmware", "Line3 : You didn't load the firmware"}));
    line.state = LineState::PhoneFound;
    EXPECT_FALSE(Check(true));
    EXPECT_EQ(boxes.Texts().back(), "Line1: can't open partition.mbn!");
}

TEST_F(ImageSetTest, EachImageFileMustOpenAndHoldTwoBytesOrItsWholePayload)
{
    ASSERT_TRUE(flashing::FillImagePaths(line, folder.string()));
    const auto expectRefused = [&](const std::string& name, const std::vector<Bytes>& shortened) {
        const Bytes whole = Read(name);
        const std::size_t before = boxes.Texts().size();
        Texts expected;
        for (const Bytes& bytes : shortened) {
            Write(name, bytes);
            EXPECT_FALSE(Check()) << name;
            expected.push_back("Line1: Open wrong " + name + "! ");
        }
        for (bool folderInstead : {true, false}) {
            fs::remove(At(name));
            if (folderInstead) fs::create_directory(At(name));
            EXPECT_FALSE(Check()) << name;
            expected.push_back("Line1: can't open " + name + "!");
        }
        Write(name, whole);
        const Texts shown = boxes.Texts();
        EXPECT_EQ(Texts(shown.begin() + static_cast<std::ptrdiff_t>(before), shown.end()), expected);
    };
    for (const char* file : kCheckedFiles) Write(file, {1, 2});
    EXPECT_TRUE(Check());
    for (const std::string name : kCheckedFiles) expectRefused(name, {{}, {1}});

    const std::pair<const char*, int> carried[] = {
        {"partition.mbn", 169}, {"qcsblhd_cfgdata.mbn", 171}, {"qcsbl.mbn", 172},     {"oemsblhd.mbn", 167},
        {"oemsbl.mbn", 168},    {"amsshd.mbn", 163},          {"amss.mbn", 164},      {"efs.mbn", 166},
        {"armprg.bin", 165},    {"nandprghd.mbn", 184},       {"nandprgcombined.mbn", 185},
    };
    std::uint32_t seed = 1;
    for (const auto& [name, id] : carried) {
        store.Add(id, Pattern(64 + seed, seed));
        Write(name, Pattern(64 + seed, seed));
        ++seed;
    }
    EXPECT_TRUE(Check());
    for (const auto& [name, id] : carried) {
        const Bytes whole = Read(name);
        Bytes changed = whole;
        changed[whole.size() / 2] ^= 1;
        expectRefused(name, {Bytes(whole.begin(), whole.end() - 1), changed});
    }
    EXPECT_TRUE(Check());
}

// Windows refuses to cut an image short while it is sent; elsewhere the
// send stops at the first block the file no longer holds.
TEST_F(ImageSetTest, FileCutShortWhileSendingIsRefusedOrStopsBeforeTheStaleBlock)
{
    Write("image.bin", Pattern(3000, 5));
    flashing::ImageFile file;
    ASSERT_TRUE(file.Open(At("image.bin").string()));
    std::vector<std::uint32_t> offsets;
    std::error_code cut;
    const auto send = [&](std::uint32_t offset, const std::uint8_t*, std::uint32_t) -> StepResult {
        offsets.push_back(offset);
        fs::resize_file(At("image.bin"), 1500, cut);
        return {};
    };
#ifdef _WIN32
    EXPECT_EQ(file.SendBlocks(1024, send), flashing::BlockRun::Sent);
    EXPECT_TRUE(cut);
    EXPECT_EQ(offsets, (std::vector<std::uint32_t>{0, 1024, 2048}));
#else
    EXPECT_EQ(file.SendBlocks(1024, send), flashing::BlockRun::ReadFailed);
    EXPECT_EQ(offsets, std::vector<std::uint32_t>{0});
#endif
}

TEST_F(ImageSetTest, CheckBlockIsFoundOnlyAtWordOffsetsAndCopiedUpToTheEnd)
{
    ASSERT_TRUE(flashing::FillImagePaths(line, folder.string()));
    const struct {
        const char* what;
        std::size_t size;  // 0: no image file
        std::vector<std::size_t> magic;
        bool found;
        std::size_t copiedFrom;
        std::size_t copied;
        const char* entry;
    } cases[] = {
        // Past the first read chunk and across the next boundary; the magic
        // at an odd offset before it does not count.
        {"far", 3 * 65536 + 10, {5, 2 * 65536 - 64}, true, 2 * 65536 - 64, 128, "Downloading..."},
        // Magic only off the word grid: no block, the buffer untouched.
        {"unaligned", 1002, {6, 997}, false, 0, 0, "Downloading..."},
        {"last word", 1000, {996}, true, 996, 4, "Downloading..."},
        {"missing", 0, {}, false, 0, 0, "open file fail"},
        {"tiny", 3, {}, false, 0, 0, "Downloading..."},
    };
    Bytes image;
    std::array<std::uint8_t, 128> block{};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        block.fill(0xEE);
        fs::remove(At("amss.mbn"));
        if (c.size) {
            // No accidental magic words, one put at each offset.
            image = Pattern(c.size, 99);
            std::replace(image.begin(), image.end(), flashing::kCheckBlockMagic[0], std::uint8_t{0});
            for (std::size_t at : c.magic) std::copy_n(flashing::kCheckBlockMagic, 4, image.begin() + at);
            Write("amss.mbn", image);
        }
        EXPECT_EQ(flashing::ReadCheckBlock(ctx, block), c.found);
        EXPECT_TRUE(std::equal(block.begin(), block.begin() + c.copied, image.begin() + c.copiedFrom));
        EXPECT_TRUE(std::all_of(block.begin() + c.copied, block.end(), [](std::uint8_t b) { return b == 0xEE; }));
        EXPECT_EQ(reporter.Entries().back(), c.entry);
    }
    EXPECT_EQ(reporter.Entries().size(), std::size(cases));
}

class CleanUpTest : public ImageSetTest, public flashing::IReplugControl {
protected:
    CleanUpTest() { WriteAll(); }
    void WriteAll() const
    {
        for (const char* name : {"amss.mbn", "armprg.bin", "partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn",
                                 "oemsblhd.mbn", "oemsbl.mbn", "amsshd.mbn", "efs.mbn", "SetMode.exe",
                                 "NollexSetup.exe", "Channel1.nvm", "nandprghd.mbn", "nandprgcombined.mbn",
                                 "Hopcycle.dll", "keep.txt"}) {
            Write(name, {1});
        }
    }
    void StopThread() override { events.push_back("stop@" + Files()); }
    void UnloadLibrary() override { events.push_back("unload@" + std::to_string(clock.TickCount()) + " " + Files()); }
    std::string Files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        std::string text;
        for (const auto& name : names) text += name + ";";
        return text;
    }

    Texts events;
};

// The NV backup is never among the working files: only a run that restored
// it removes it. Closing the form keeps the library the re-plug thread may
// still have loaded.
TEST_F(CleanUpTest, EndOfRunStopsTheReplugThreadHalfASecondBeforeUnloadingItsLibrary)
{
    flashing::RemoveWorkingFiles(folder.string(), flashing::Cleanup::FormDestroyed, clock, this);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(clock.TickCount(), 0u);
    EXPECT_EQ(Files(), "Channel1.nvm;keep.txt;");
    WriteAll();
    flashing::RemoveWorkingFiles(folder.string(), flashing::Cleanup::EndOfRun, clock, this);
    EXPECT_EQ(events, (Texts{"stop@Channel1.nvm;Hopcycle.dll;keep.txt;", "unload@500 Channel1.nvm;Hopcycle.dll;keep.txt;"}));
    EXPECT_EQ(Files(), "Channel1.nvm;keep.txt;");
    // Without a re-plug thread the pause and the deletion stay.
    Write("Hopcycle.dll", {1});
    flashing::RemoveWorkingFiles(folder.string(), flashing::Cleanup::EndOfRun, clock, nullptr);
    EXPECT_EQ(clock.TickCount(), 1000u);
    EXPECT_EQ(Files(), "Channel1.nvm;keep.txt;");
}

}  // namespace
