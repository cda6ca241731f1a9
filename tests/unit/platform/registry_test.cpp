#include "platform/registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "test_files.h"

namespace {

using platform::kAllAccess;

TEST(RegImport, ReadsTextsAndDwordsWhateverTheLineEndsLetterCaseAndNoise)
{
    platform::MemoryRegistry tree;
    ASSERT_TRUE(tree.Import("REGEDIT4\r\n\r\n; written by hand\r\n"
                            "[HKEY_LOCAL_MACHINE\\A\\Enum]\r\n"
                            "\"Count\"=dword:0000001F\r\n"
                            "\"0\"=\"USB\\\\VID\\\\7&1F\\\"A\\\"\"\r\n"
                            "\"Path\"=\"C:\\temp\"\n"
                            "  \"Spaced\" = \"ok\"  \n"
                            "\"TooLong\"=dword:123456789\n\"NotHex\"=dword:12G4\n\"Open\"=\"no end\n"
                            "\"Binary\"=hex:01,02\n\"Trailing\"=\"t\" junk\n"
                            "[HKEY_CURRENT_USER\\Other]\n\"Count\"=dword:2"));
    const auto key = tree.OpenMachineKey("a\\ENUM", kAllAccess);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadDword("count"), 0x1Fu);
    EXPECT_EQ(key->ReadText("0"), "USB\\VID\\7&1F\"A\"");
    EXPECT_EQ(key->ReadText("PATH"), "C:\\temp");
    EXPECT_EQ(key->ReadText("Spaced"), "ok");
    EXPECT_FALSE(key->ReadText("Count"));
    EXPECT_FALSE(key->ReadDword("0"));
    for (const char* name : {"TooLong", "NotHex", "Open", "Binary", "Trailing"}) {
        EXPECT_FALSE(key->ReadDword(name) || key->ReadText(name)) << name;
    }
    EXPECT_TRUE(tree.OpenMachineKey("A", kAllAccess));
    EXPECT_FALSE(tree.OpenMachineKey("Other", kAllAccess));

    // A text is read only when it fits the buffer with its terminator.
    for (const std::size_t size : {platform::kTextBufferSize - 1, platform::kTextBufferSize}) {
        tree.SetText("A\\Enum", "Text", std::string(size, 'x'));
        EXPECT_EQ(key->ReadText("Text").has_value(), size < platform::kTextBufferSize) << size;
    }
}

TEST(RegImport, MergesRemovesWholeBranchesAndRefusesOtherFormats)
{
    platform::MemoryRegistry tree;
    ASSERT_TRUE(tree.Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\n[HKEY_LOCAL_MACHINE\\A\\BC]\n\"V\"=\"2\"\n"));
    EXPECT_FALSE(tree.Import("Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE\\A]\n"));
    EXPECT_TRUE(tree.OpenMachineKey("A\\B\\C", kAllAccess));

    ASSERT_TRUE(tree.Import("REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\a\\b]\r\n\"V\"=\"lost\"\r\n"));
    EXPECT_FALSE(tree.OpenMachineKey("A\\B", kAllAccess));
    EXPECT_FALSE(tree.OpenMachineKey("A\\B\\C", kAllAccess));
    EXPECT_EQ(tree.OpenMachineKey("A\\BC", kAllAccess)->ReadText("V"), "2");
}

#ifndef _WIN32
TEST(RegFileRegistry, AFileOverOneMebibyteIsRefusedUnreadAndSaidOnce)
{
    // The limit the refusal names, not the constant behind it.
    constexpr std::size_t kMebibyte = 1024 * 1024;
    TempFolder folder("regbig");
    const auto file = folder / "registry.reg";
    platform::RegFileRegistry registry(file.string());
    std::vector<std::string> told;
    registry.OnRefused([&](const std::string& text) { told.push_back(text); });
    // Whether a file of `size` bytes is read, and how often a refusal was told by then.
    for (const auto& [size, read, refusals] : {std::tuple{kMebibyte, true, 0u}, {kMebibyte + 1, false, 1u}, {kMebibyte + 1, false, 1u},
                                               {100, true, 1u}, {2 * kMebibyte, false, 2u}}) {
        std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\Enum]\r\n\"Count\"=dword:00000001\r\n";
        text.resize(size, ';');
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        EXPECT_EQ(static_cast<bool>(registry.OpenMachineKey("A\\Enum", kAllAccess)), read) << size;
        EXPECT_EQ(told.size(), refusals) << size;
    }
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0], "The registry file " + file.string() + " is larger than 1 MiB and is not read: no ports are found in it.");
}

// What is no regular file is refused at once, never waited on (a FIFO) nor
// read without end (a device).
TEST(RegFileRegistry, WhatIsNoRegularFileIsRefusedUnread)
{
    TempFolder folder("regodd");
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    for (const std::string& path : {folder.String(), std::string("/dev/zero"), (folder / "fifo").string()}) {
        platform::RegFileRegistry registry(path);
        std::string told;
        registry.OnRefused([&](const std::string& text) { told += text; });
        EXPECT_FALSE(registry.OpenMachineKey("A\\Enum", kAllAccess));
        EXPECT_EQ(told, "The registry file " + path + " is not a regular file and is not read: no ports are found in it.");
    }
}
#endif

}  // namespace
