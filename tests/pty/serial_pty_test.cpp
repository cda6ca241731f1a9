// CSerialPort over real pseudo-terminals. The two ports of PTY_TEST_PORTS are
// joined back to back: what one writes, the other receives.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../support/test_files.h"
#include "link/serial_port.h"
#include "platform/backends.h"

#ifndef _WIN32
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/files.h"
#endif

namespace {

class PtyPairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* ports = std::getenv("PTY_TEST_PORTS");
        if (!ports) GTEST_SKIP() << "run through tests/pty/with-pty-pair.sh";
        const std::string text = ports;
        hostNumber = std::stoi(text.substr(0, text.find(',')));
        deviceNumber = std::stoi(text.substr(text.find(',') + 1));
        ASSERT_GE(hostNumber, 10);
        ASSERT_TRUE(host.Open(hostNumber, 115200, 8, 1));
        ASSERT_TRUE(device.Open(deviceNumber, 115200, 8, 1));
    }

    // Real time passes here: the relay between the terminals takes a moment.
    static bool WaitFor(CSerialPort& port, std::uint32_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (port.BytesWaiting() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return port.BytesWaiting() == count;
    }

    void DeviceSends(const Bytes& bytes)
    {
        ASSERT_EQ(device.WriteKeepingInput(bytes.data(), static_cast<std::uint32_t>(bytes.size())), bytes.size());
    }

    int hostNumber = 0;
    int deviceNumber = 0;
    platform::RealClock clock;
    const std::unique_ptr<platform::ISerialPorts> ports = platform::SystemSerialPorts();
    CSerialPort host{clock, *ports};
    CSerialPort device{clock, *ports};
};

TEST_F(PtyPairTest, OpenOnAnOpenPortSucceedsAndKeepsTheSettings)
{
    EXPECT_TRUE(host.Open(hostNumber, 9600, 7, 2));
    EXPECT_TRUE(host.IsOpen());
#ifndef _WIN32
    // The terminal still runs at 115200 baud with 8 data bits, one stop bit.
    const std::string path = platform::PortsDirectory() + "/com" + std::to_string(hostNumber);
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd, &tio), 0);
    ::close(fd);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
#endif
}

TEST_F(PtyPairTest, WriteDiscardsEarlierInputWriteKeepingInputKeepsIt)
{
    DeviceSends({1, 2, 3, 4, 5});
    ASSERT_TRUE(WaitFor(host, 5));
    const Bytes request{0x7E, 0x06, 0x4E, 0x95, 0x7E};
    EXPECT_EQ(host.WriteKeepingInput(request.data(), 5), 5u);
    EXPECT_EQ(host.BytesWaiting(), 5u);
    EXPECT_EQ(host.Write(request.data(), 5), 5u);
    EXPECT_EQ(host.BytesWaiting(), 0u);

    ASSERT_TRUE(WaitFor(device, 10));
    std::uint8_t buffer[16] = {};
    ASSERT_EQ(device.Read(buffer, sizeof buffer), 10u);
    EXPECT_EQ(Bytes(buffer, buffer + 5), request);
    EXPECT_EQ(Bytes(buffer + 5, buffer + 10), request);
}

TEST_F(PtyPairTest, BackToBackWritesLoseNothing)
{
    // Each Write starts a new request by clearing input; bytes of earlier
    // writes that are still on their way to the device must survive it.
    constexpr std::size_t kChunk = 32 * 1024;
    constexpr int kChunks = 16;
    const Bytes stream = Pattern(kChunk * kChunks, 131);

    Bytes received;
    std::thread reader([&] {
        std::uint8_t buffer[4096];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (received.size() < stream.size() && std::chrono::steady_clock::now() < deadline) {
            const std::uint32_t n = device.Read(buffer, sizeof buffer);
            received.insert(received.end(), buffer, buffer + n);
            if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int chunk = 0; chunk < kChunks; ++chunk) {
        EXPECT_EQ(host.Write(stream.data() + chunk * kChunk, kChunk), kChunk) << "chunk " << chunk;
    }
    reader.join();
    ASSERT_EQ(received.size(), stream.size());
    EXPECT_TRUE(received == stream);
}

}  // namespace
