#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_posix.h"
#include "test_files.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

TEST(PosixSerialPorts, AnotherHolderIsNamedOnceAndAnOpenPortIsExclusive)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string terminal = ::ptsname(master);
    TempFolder folder("holders");
    fs::create_symlink(terminal, folder / "com42");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, terminal.c_str(), O_RDWR | O_NOCTTY, 0);
    char sleepName[] = "sleep";
    char seconds[] = "30";
    char* arguments[] = {sleepName, seconds, nullptr};
    pid_t holder = 0;
    ASSERT_EQ(::posix_spawnp(&holder, "sleep", &actions, nullptr, arguments, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    const fs::path held = "/proc/" + std::to_string(holder) + "/fd/0";
    for (int i = 0; i < 200; ++i) {
        std::error_code ec;
        if (fs::read_symlink(held, ec) == fs::path(terminal)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    platform::PosixSerialPorts ports(folder.String());
    std::vector<std::string> told;
    ports.OnHeld([&](const std::string& text) { told.push_back(text); });
    auto device = ports.OpenPort(42);
    ASSERT_TRUE(device);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], "COM42 (" + (folder / "com42").string() + ") is held open by sleep (process " +
                           std::to_string(holder) +
                           "): close that program, or tell it to leave the modem alone, before the upgrade.");

    // No other program may open it now (the superuser may, and then sees
    // the mark).
    const int other = ::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other < 0) {
        EXPECT_EQ(errno, EBUSY);
    } else {
        int exclusive = 0;
        EXPECT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);
        ::close(other);
    }

    device.reset();
    EXPECT_TRUE(ports.OpenPort(42));
    EXPECT_EQ(told.size(), 1u) << "each holder is named once";

    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(master);
}

}  // namespace
#endif
