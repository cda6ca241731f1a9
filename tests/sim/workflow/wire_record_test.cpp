// Every byte the host sends during a whole simulated upgrade, compared with
// the record kept beside this file. A change of the host's code that moves a
// single byte on the wire fails here and names the first request that moved.
// After a deliberate change of the wire, rewrite the record with
// UPGRADER_WIRE_RECORD=write and review its diff.
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "link/md5.h"
#include "upgrade_fixture.h"

namespace {

// Passes every port through, writing one line per write the host makes:
// the port, the length, the first bytes and the digest of all of them.
class RecordingPorts final : public platform::ISerialPorts {
public:
    explicit RecordingPorts(platform::ISerialPorts& inner) : m_inner(inner) {}

    std::unique_ptr<platform::ISerialDevice> OpenPort(int number) override
    {
        auto device = m_inner.OpenPort(number);
        if (!device) return nullptr;
        return std::make_unique<Device>(*this, number, std::move(device));
    }

    std::vector<std::string> Lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    class Device final : public platform::ISerialDevice {
    public:
        Device(RecordingPorts& owner, int number, std::unique_ptr<platform::ISerialDevice> inner)
            : m_owner(owner), m_number(number), m_inner(std::move(inner))
        {
        }
        bool Configure(const platform::SerialSettings& settings) override { return m_inner->Configure(settings); }
        void Purge(bool output, bool input) override { m_inner->Purge(output, input); }
        std::uint32_t Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) override
        {
            m_owner.Note(m_number, data, length);
            return m_inner->Write(data, length, waitMs);
        }
        std::uint32_t QueuedInput() override { return m_inner->QueuedInput(); }
        std::uint32_t Read(std::uint8_t* data, std::uint32_t length, std::uint32_t waitMs) override
        {
            return m_inner->Read(data, length, waitMs);
        }

    private:
        RecordingPorts& m_owner;
        int m_number;
        std::unique_ptr<platform::ISerialDevice> m_inner;
    };

    void Note(int number, const std::uint8_t* data, std::uint32_t length)
    {
        std::ostringstream line;
        line << "COM" << number << ' ' << length << ' ' << std::hex << std::setfill('0');
        for (std::uint32_t i = 0; i < std::min<std::uint32_t>(length, 12); ++i) line << std::setw(2) << int{data[i]};
        line << ' ';
        for (const std::uint8_t byte : md5::Compute(data, length)) line << std::setw(2) << int{byte};
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line.str());
    }

    platform::ISerialPorts& m_inner;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

class WireRecordTest : public UpgradeTest {
protected:
    WireRecordTest() : UpgradeTest(recorder) {}
    RecordingPorts recorder{served};
};

TEST_F(WireRecordTest, AWholeUpgradeSendsTheRecordedBytes)
{
    Run();
    ASSERT_EQ(Boxes().back().rfind("Update success!", 0), 0u);

    const auto record = std::filesystem::path(__FILE__).parent_path() / "upgrade-requests.txt";
    const auto lines = recorder.Lines();
    const char* mode = std::getenv("UPGRADER_WIRE_RECORD");
    if (mode && std::string(mode) == "write") {
        std::ofstream out(record);
        for (const auto& line : lines) out << line << '\n';
        GTEST_SKIP() << "rewrote " << record;
    }

    std::ifstream in(record);
    ASSERT_TRUE(in) << "no record at " << record;
    std::vector<std::string> expected;
    for (std::string line; std::getline(in, line);) expected.push_back(line);
    const auto size = std::min(lines.size(), expected.size());
    const auto first = std::mismatch(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(size), expected.begin());
    ASSERT_EQ(first.first - lines.begin(), static_cast<std::ptrdiff_t>(size))
        << "write " << (first.first - lines.begin()) << " is " << *first.first << ", recorded " << *first.second;
    EXPECT_EQ(lines.size(), expected.size());
}

}  // namespace
