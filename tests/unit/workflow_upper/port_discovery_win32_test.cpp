// Port discovery through the system registry (the prefix's under Wine): the
// test imports its keys with regedit and removes them again.
#ifdef _WIN32
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/backends.h"
#include "workflow/port_discovery.h"
#include "test_backends.h"

namespace {

const std::string kLong(platform::kTextBufferSize - 1, 'x');
const std::string kServices = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const std::string kEnum = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_FFF1&PID_7E57&";
const std::string kRemoval = "REGEDIT4\r\n\r\n[-" + kServices.substr(1) + "Nollexusbmdm6k]\r\n[-" + kServices.substr(1) +
                             "Nollexusbser6k]\r\n[-" + kEnum.substr(1) + "MI_02]\r\n[-" + kEnum.substr(1) + "MI_00]\r\n";

// Imports REGEDIT4 text with "regedit /S"; true once regedit has ended well.
bool Import(const std::string& text)
{
    char folder[MAX_PATH];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) return false;
    const std::string file = std::string(folder) + "port_discovery_test.reg";
    if (!(std::ofstream(file, std::ios::binary | std::ios::trunc) << text)) return false;
    std::string command = "regedit.exe /S \"" + file + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD code = 1;
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &code)) code = 1;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    DeleteFileA(file.c_str());
    return code == 0;
}

class Win32RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Import(kRemoval));
        ASSERT_TRUE(Import("REGEDIT4\r\n\r\n" + kServices + "Nollexusbmdm6k\\Enum]\r\n\"Count\"=dword:00000001\r\n"
                           "\"0\"=\"USB\\\\VID_FFF1&PID_7E57&MI_02\\\\1\"\r\n" +
                           kServices + "Nollexusbser6k\\Enum]\r\n\"Count\"=dword:00000002\r\n"
                           "\"0\"=\"USB\\\\VID_FFF1&PID_7E57&MI_00\\\\0\"\r\n\"1\"=\"USB\\\\VID_FFF1&PID_7E57&MI_00\\\\1\"\r\n"
                           "\"Fits\"=\"" + kLong + "\"\r\n\"Overflows\"=\"" + kLong + "x\"\r\n" +
                           kEnum + "MI_02\\1\\Device Parameters]\r\n\"PortName\"=\"COM38\"\r\n" +
                           kEnum + "MI_00\\0\\Device Parameters]\r\n\"PortName\"=\"COM36\"\r\n" +
                           kEnum + "MI_00\\1\\Device Parameters]\r\n\"PortName\"=\"COM37\"\r\n"));
    }
    void TearDown() override { EXPECT_TRUE(Import(kRemoval)); }

    platform::Win32Registry registry;
    platform::RegistryPortFinder finder{registry};
    TestBackends own;
    DownloadLine line{own.backends};
};

TEST_F(Win32RegistryTest, FindPortsReadsTheImportedKeysAfreshAtEveryCall)
{
    EXPECT_TRUE(FindPorts(finder, line));
    EXPECT_EQ(line.diagPort, 37);
    EXPECT_EQ(line.modemPort, 38);

    const auto key = registry.OpenMachineKey("system\\currentcontrolset\\services\\NOLLEXUSBSER6K\\enum", platform::kAllAccess);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadDword("count"), 2u);
    EXPECT_FALSE(key->ReadText("Count"));
    EXPECT_FALSE(key->ReadDword("1"));
    EXPECT_EQ(key->ReadText("Fits"), kLong);
    EXPECT_FALSE(key->ReadText("Overflows"));

    ASSERT_TRUE(Import("REGEDIT4\r\n\r\n" + kServices + "Nollexusbser6k\\Enum]\r\n\"Count\"=dword:00000001\r\n"));
    EXPECT_TRUE(FindPorts(finder, line));
    EXPECT_EQ(line.diagPort, 36);
    ASSERT_TRUE(Import(kRemoval));
    EXPECT_FALSE(FindPorts(finder, line));
    EXPECT_FALSE(registry.OpenMachineKey("SYSTEM\\CurrentControlSet\\Services\\Nollexusbser6k\\Enum", platform::kAllAccess));
}

}  // namespace
#endif
