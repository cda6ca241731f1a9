#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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

    std::string Table(const std::string& text)
    {
        const fs::path path = folder / "usb-interfaces";
        std::ofstream(path) << text;
        return path.string();
    }

    TempFolder folder{"port-backend"};
};

TEST_F(PortBackendTest, AWrongTableIsRefusedNamingItsLine)
{
    app::PortBackend backend;
    std::string error;
    const std::string table = Table("3e1f:* * probe\n3e1f:2000 00 cdrom\n");
    EXPECT_FALSE(backend.Install({"", "", table, {}}, error));
    EXPECT_EQ(error, "the table of USB devices " + table +
                         " is wrong at line 2 (3e1f:2000 00 cdrom): the role is not diag, modem or probe");

    app::PortBackend missing;
    EXPECT_FALSE(missing.Install({"", "", (folder / "none").string(), {}}, error));
    EXPECT_EQ(error, "the table of USB devices " + (folder / "none").string() + " cannot be read");
}

TEST_F(PortBackendTest, TheRunLogsFirstLineSaysWhereThePortsComeFrom)
{
    app::PortBackend udev;
    std::string error;
    const std::string table = Table("fff1:0001 00 diag\n");
    ASSERT_TRUE(udev.Install({"", "", table, {{0x1234, 0x0001}}}, error)) << error;
    EXPECT_EQ(udev.Description(), "Ports: through udev, of the USB devices fff1:0001, 1234:0001 (table: " + table + ").");
    EXPECT_NE(udev.Replug(), nullptr);

    app::PortBackend simulated;
    ::setenv("UPGRADER_REGISTRY_FILE", (folder / "ports.reg").c_str(), 1);
    ASSERT_TRUE(simulated.Install({(folder / "ports").string(), "", "", {}}, error));
    EXPECT_EQ(simulated.Description(), "Ports: the simulated modem's, from the links in " + (folder / "ports").string() +
                                           " and the registry file " + (folder / "ports.reg").string() + ".");
    EXPECT_EQ(simulated.Replug(), nullptr);
    ::unsetenv("UPGRADER_REGISTRY_FILE");
}

}  // namespace
