#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/single_instance.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
using platform::SingleInstance;

// The lock file stands for a copy this one cannot see through the abstract
// socket (another network namespace): its flock alone must refuse.
TEST(SingleInstance, TheLockFileNotTheFileIsTheMarkWhateverTheUmask)
{
    TempFolder folder("instance");
    const std::string name = "single,test," + folder.path.filename().string();
    const mode_t umask = ::umask(077);
    std::optional<SingleInstance> first(std::in_place, name, folder.path.string());
    ::umask(umask);
    ASSERT_TRUE(first->Claimed());
    const fs::path lock = fs::directory_iterator(folder.path)->path();
    EXPECT_EQ(lock.filename().string().find(','), std::string::npos);
    EXPECT_EQ(fs::status(lock).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                                  fs::perms::others_read);
    first.reset();
    ASSERT_TRUE(fs::exists(lock));

    const int other = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(SingleInstance(name, folder.path.string()).Claimed());
    ::close(other);
    EXPECT_TRUE(SingleInstance(name, folder.path.string()).Claimed()) << "a file left behind blocked";
}

TEST(SingleInstance, WhatIsPlantedAtTheLockPathRefusesAndIsNeverTaken)
{
    TempFolder folder("planted");
    const std::string name = "planted-" + folder.path.filename().string();
    const fs::path lock = folder.path / (name + ".lock"), target = folder.path / "target";
    { ASSERT_TRUE(SingleInstance(name, folder.path.string()).Claimed()); }
    ASSERT_TRUE(fs::exists(lock));
    // Each beside an unlocked file it could lead to.
    const std::pair<const char*, std::function<void()>> planted[] = {
        {"symlink", [&] { fs::create_symlink(target, lock); }},
        {"hard link", [&] { fs::create_hard_link(target, lock); }},
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(lock.c_str(), 0644), 0); }},
    };
    for (const auto& [what, plant] : planted) {
        SCOPED_TRACE(what);
        fs::remove_all(lock);
        WriteFile(target, {});
        plant();
        EXPECT_FALSE(SingleInstance(name, folder.path.string()).Claimed());
    }
}

}  // namespace
#endif
