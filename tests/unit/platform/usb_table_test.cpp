#include <gtest/gtest.h>

#include <string>

#include "platform/usb_table.h"

namespace {

using platform::PortRole;
using platform::UsbTable;

TEST(UsbTable, TheFirstMatchingLineDecidesAPortsRole)
{
    UsbTable table;
    std::string error;
    ASSERT_TRUE(UsbTable::Parse("# comment\n\nFFF1:0001 00 diag   # the diagnostic port\r\n"
                                "fff1:0001 0a modem\nfff1:0001 * probe\n3e1f:* * probe\n",
                                table, error))
        << error;
    EXPECT_EQ(table.RoleOf(0xFFF1, 0x0001, 0x00), PortRole::Diag);
    EXPECT_EQ(table.RoleOf(0xFFF1, 0x0001, 0x0A), PortRole::Modem);
    EXPECT_EQ(table.RoleOf(0xFFF1, 0x0001, 0x03), PortRole::Probe);
    EXPECT_EQ(table.RoleOf(0x3E1F, 0x1234, 0x00), PortRole::Probe);
    EXPECT_EQ(table.RoleOf(0xFFF1, 0x0002, 0x00), std::nullopt);
    EXPECT_FALSE(table.Knows(0x1234, 0x0001));
    EXPECT_EQ(table.Describe(), "fff1:0001, 3e1f:*");

    table.AddDevice(0x1234, 0x0001);
    EXPECT_EQ(table.RoleOf(0x1234, 0x0001, 0x05), PortRole::Probe);
    ASSERT_TRUE(UsbTable::Parse(UsbTable::kBuiltIn, table, error));
    EXPECT_TRUE(table.Knows(0x3E1F, 0x2000));
}

TEST(UsbTable, AWrongLineIsNamedAndNothingOfTheTableIsTaken)
{
    const std::pair<const char*, const char*> cases[] = {
        {"fff1:0001 00", "expected vendor:product interface role"},
        {"fff1:0001 00 diag extra", "expected vendor:product interface role"},
        {"fff:0001 00 diag", "the vendor is not four hex digits"},
        {"fff10001 00 diag", "the vendor is not four hex digits"},
        {"fff1:01 00 diag", "the product is neither four hex digits nor *"},
        {"fff1:0001 100 diag", "the interface is neither two hex digits nor *"},
        {"fff1:0001 00 serial", "the role is not diag, modem or probe"},
    };
    for (const auto& [line, why] : cases) {
        UsbTable table;
        table.AddDevice(0x1111, 0x2222);
        std::string error;
        EXPECT_FALSE(UsbTable::Parse(std::string("3e1f:* * probe\n") + line + "\n", table, error));
        EXPECT_EQ(error, std::string("line 2 (") + line + "): " + why);
        EXPECT_TRUE(table.Knows(0x1111, 0x2222)) << "the table is left as it was";
        EXPECT_FALSE(table.Knows(0x3E1F, 0x2000));
    }
}

TEST(UsbTable, DeviceIdsGivenByTheUserAreFourHexDigitsEach)
{
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    ASSERT_TRUE(platform::ParseUsbId("3E1F:00aB", vendor, product));
    EXPECT_EQ(vendor, 0x3E1F);
    EXPECT_EQ(product, 0x00AB);
    for (const char* wrong : {"3e1f", "3e1f:", ":2000", "3e1f:20000", "3e1f-2000", "3e1g:2000", "+e1f:2000"}) {
        EXPECT_FALSE(platform::ParseUsbId(wrong, vendor, product)) << wrong;
    }
}

}  // namespace
