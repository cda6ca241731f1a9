#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "app/port_backend.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;

class PortBackendTest : public testing::Test {
protected:
    PortBackendTest()
    {
        ::unsetenv("UPGRADER_PORTS_DIR");
        ::unsetenv("UPGRADER_REGISTRY_FILE");
    }

    std::string Table(const std::string& text, const std::string& name = "usb-interfaces")
    {
        const fs::path path = folder / name;
        std::ofstream(path) << text;
        return path.string();
    }

    TempFolder folder{"port-backend"};
};

// Only a regular file of a table's size is read: start-up neither waits on
// a FIFO nor reads a device without end, nor takes a folder for an empty
// table.
TEST_F(PortBackendTest, ATableThatCannotBeTakenIsRefusedSayingWhy)
{
    const std::string fifo = (folder / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = Table(std::string(64 * 1024 + 1, '#'), "large");
    const std::string wrong = Table("3e1f:* * probe\n3e1f:2000 00 cdrom\n");
    const std::pair<std::string, std::string> cases[] = {
        {wrong, "is wrong at line 2 (3e1f:2000 00 cdrom): the role is not diag, modem or probe"},
        {(folder / "none").string(), "does not exist: name a readable table with --usb-table"},
        {folder.String(), "is not a regular file: name a readable table with --usb-table"},
        {fifo, "is not a regular file: name a readable table with --usb-table"},
        {"/dev/zero", "is not a regular file: name a readable table with --usb-table"},
        {large, "is larger than 64 KiB: name a readable table with --usb-table"},
    };
    for (const auto& [table, why] : cases) {
        app::PortBackend backend;
        const StepResult installed = backend.Install({"", "", table, {}});
        EXPECT_FALSE(installed);
        EXPECT_EQ(installed.Reason(), "the table of USB devices " + table + " " + why);
    }
}

TEST_F(PortBackendTest, TheRunLogsFirstLineSaysWhereThePortsComeFrom)
{
    app::PortBackend udev;
    const std::string table = Table("fff1:0001 00 diag\n");
    ASSERT_EQ(udev.Install({"", "", table, {{0x1234, 0x0001}}}).Reason(), "");
    EXPECT_EQ(udev.Description(), "Ports: through udev, of the USB devices fff1:0001, 1234:0001 (table: " + table + ").");
    EXPECT_NE(udev.Replug(), nullptr);

    app::PortBackend simulated;
    ::setenv("UPGRADER_REGISTRY_FILE", (folder / "ports.reg").c_str(), 1);
    ASSERT_TRUE(simulated.Install({(folder / "ports").string(), "", "", {}}));
    EXPECT_EQ(simulated.Description(), "Ports: the simulated modem's, from the links in " + (folder / "ports").string() +
                                           " and the registry file " + (folder / "ports.reg").string() + ".");
    EXPECT_EQ(simulated.Replug(), nullptr);
    ::unsetenv("UPGRADER_REGISTRY_FILE");
}

}  // namespace
