#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>

#include "platform/single_instance.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;

// Made under any umask, the lock file is one every user may open; what is
// planted at its path, beside an unlocked file it could lead to, refuses.
TEST(SingleInstance, TheLockFileIsForAnyUserAndNothingPlantedStandsInForIt)
{
    TempFolder folder("instance");
    const std::string name = "single-" + folder.path.filename().string(), at = folder.path.string();
    const fs::path lock = folder.path / (name + ".lock"), target = folder.path / "target";
    const mode_t umask = ::umask(077);
    EXPECT_TRUE(platform::SingleInstance(name, at).Claimed());
    ::umask(umask);
    EXPECT_EQ(fs::status(lock).permissions(), fs::perms(0644));
    for (const std::string planted : {"symlink", "hard link", "FIFO"}) {
        fs::remove(lock);
        WriteFile(target, {});
        if (planted == "symlink") fs::create_symlink(target, lock);
        if (planted == "hard link") fs::create_hard_link(target, lock);
        if (planted == "FIFO") ::mkfifo(lock.c_str(), 0644);
        EXPECT_FALSE(platform::SingleInstance(name, at).Claimed()) << planted;
    }
}

}  // namespace
#endif
