// Port discovery over an in-memory registry: which driver service supplies
// the device, which of its devices, and what becomes of its port names.
#include "workflow/port_discovery.h"

#include <gtest/gtest.h>

#include "platform/backends.h"
#include "test_backends.h"

namespace {

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum\\";

class FindPortsTest : public ::testing::Test {
protected:
    // A driver service with its enumerated devices, oldest first.
    void Service(const std::string& service, const std::vector<std::string>& instances)
    {
        registry.RemoveKey(kServices + service);
        registry.SetDword(kServices + service + "\\Enum", "Count", static_cast<std::uint32_t>(instances.size()));
        for (std::size_t i = 0; i < instances.size(); ++i) registry.SetText(kServices + service + "\\Enum", std::to_string(i), instances[i]);
    }
    void Port(const std::string& instance, const std::string& name)
    {
        registry.SetText(kEnum + instance + "\\Device Parameters", "PortName", name);
    }
    void Device(const std::string& service, const std::string& instance, const std::string& port)
    {
        Service(service, {instance});
        Port(instance, port);
    }

    platform::MemoryRegistry registry;
    platform::RegistryPortFinder finder{registry};
    TestBackends own;
    DownloadLine line{own.backends};
};

TEST_F(FindPortsTest, ModemPortIsStoredButDoesNotDecide)
{
    line.diagPort = 5;
    Device("Nollexusbmdm6k", "USB\\M", "COM13");
    EXPECT_FALSE(FindPorts(finder, line));
    EXPECT_EQ(line.modemPort, 13);
    EXPECT_EQ(line.diagPort, 5);

    Service("Nollexusbmdm6k", {});
    Device("Nollexusbser6k", "USB\\D", "COM12");
    EXPECT_TRUE(FindPorts(finder, line));
    EXPECT_EQ(line.diagPort, 12);
    EXPECT_EQ(line.modemPort, 13);
}

TEST_F(FindPortsTest, FirstServiceThatSuppliesAnInstanceWinsAndItsLastDevice)
{
    // Each search goes through the pairs on its own.
    Device("HSPADataCardusbmdm6k", "USB\\M4", "COM41");
    Device("qcusbser6k", "USB\\D3", "COM30");
    Device("HSPADataCardusbser6k", "USB\\D4", "COM40");
    EXPECT_TRUE(FindPorts(finder, line));
    EXPECT_EQ(line.diagPort, 30);
    EXPECT_EQ(line.modemPort, 41);

    // A device gone (Count 0), or a count that names no value, supplies nothing.
    Service("Nollexusbser6k", {});
    Service("Peltausbser6k", {"USB\\D2"});
    registry.SetDword(kServices + "Peltausbser6k\\Enum", "Count", 2);
    Port("USB\\D2", "COM20");
    EXPECT_TRUE(FindPorts(finder, line));
    EXPECT_EQ(line.diagPort, 30);

    // A supplied instance is the answer, port key or not; Count - 1 is the
    // device enumerated last.
    Service("Peltausbser6k", {"USB\\D2", "USB\\D2B"});
    EXPECT_FALSE(FindPorts(finder, line));
    Port("USB\\D2B", "COM21");
    EXPECT_TRUE(FindPorts(finder, line));
    EXPECT_EQ(line.diagPort, 21);
}

TEST_F(FindPortsTest, PortNameMustBeComAndANumberAndEveryKeyIsClosed)
{
    Device("Nollexusbmdm6k", "USB\\M", "COM13");
    Device("Nollexusbser6k", "USB\\D", "COM12");
    ASSERT_TRUE(FindPorts(finder, line));
    EXPECT_EQ(registry.Opens().size(), 4u);
    for (const auto& open : registry.Opens()) EXPECT_EQ(open.access, 0xF003Fu) << open.path;
    EXPECT_EQ(registry.OpenKeys(), 0);
    for (const char* name : {"", "CO", "COM", "LPT1", "COMX", "COM-3", "COM+3", "COM0", "COM 7", "COM7a", "COM99999999999"}) {
        Port("USB\\M", name);
        Port("USB\\D", name);
        EXPECT_FALSE(FindPorts(finder, line)) << '"' << name << '"';
        EXPECT_EQ(line.diagPort, 12) << '"' << name << '"';
        EXPECT_EQ(line.modemPort, 13) << '"' << name << '"';
    }
    Port("USB\\M", "com123");
    Port("USB\\D", "COM007");
    EXPECT_TRUE(FindPorts(finder, line));
    EXPECT_EQ(line.diagPort, 7);
    EXPECT_EQ(line.modemPort, 123);
}

}  // namespace
