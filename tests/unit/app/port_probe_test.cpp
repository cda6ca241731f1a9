// Asking a port of an unknown device which one it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/port_probe.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A port that answers each write with what `answer` makes of it.
class ScriptedPort final : public platform::ISerialDevice {
public:
    explicit ScriptedPort(std::function<Bytes(const Bytes&)> answer) : m_answer(std::move(answer)) {}
    bool Configure(const platform::SerialSettings&) override { return true; }
    void Purge(bool, bool input) override
    {
        if (input) m_pending.clear();
    }
    std::uint32_t Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t) override
    {
        const Bytes reply = m_answer(Bytes(data, data + length));
        m_pending.insert(m_pending.end(), reply.begin(), reply.end());
        return length;
    }
    std::uint32_t QueuedInput() override { return static_cast<std::uint32_t>(m_pending.size()); }
    std::uint32_t Read(std::uint8_t* data, std::uint32_t length, std::uint32_t) override
    {
        // Replies come a few bytes at a time.
        const std::uint32_t count = std::min<std::uint32_t>({length, 3, static_cast<std::uint32_t>(m_pending.size())});
        std::copy_n(m_pending.begin(), count, data);
        m_pending.erase(m_pending.begin(), m_pending.begin() + count);
        return count;
    }

private:
    std::function<Bytes(const Bytes&)> m_answer;
    std::deque<std::uint8_t> m_pending;
};

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The version request as it goes on the wire: 00, its CRC, the flag.
const Bytes kRequest{0x00, 0x78, 0xF0, 0x7E};

TEST(PortProbe, TheDiagnosticPortAnswersWithAFrameAndTheModemPortWithOk)
{
    ScriptedPort diag([](const Bytes& sent) {
        // Any well-formed frame will do, here an error reply after a flag.
        return sent == kRequest ? Bytes{0x7E, 0x13, 0x00, 0xBE, 0xB0, 0x7E} : Bytes{};
    });
    EXPECT_EQ(app::ProbePort(diag), platform::PortRole::Diag);

    std::vector<Bytes> modemSaw;
    ScriptedPort modem([&](const Bytes& sent) {
        modemSaw.push_back(sent);
        // With echo on, the request comes straight back: that is no answer.
        return sent == Text("\rAT\r") ? Text("\rAT\r\r\nOK\r\n") : sent;
    });
    EXPECT_EQ(app::ProbePort(modem), platform::PortRole::Modem);
    EXPECT_EQ(modemSaw, (std::vector<Bytes>{kRequest, Text("\rAT\r")}));
}

TEST(PortProbe, GarbageSilenceOrAnErrorIsNoAnswer)
{
    const std::function<Bytes(const Bytes&)> answers[] = {
        [](const Bytes&) { return Bytes{}; },
        [](const Bytes&) { return Bytes{0x13, 0x00, 0x12, 0x34, 0x7E}; },  // a frame with a wrong CRC
        [](const Bytes& sent) { return sent == kRequest ? Bytes{} : Text("\r\nERROR\r\n"); },
        [](const Bytes&) { return Bytes{0x7E, 0x7E, 0x7E}; },
    };
    for (const auto& answer : answers) {
        ScriptedPort port(answer);
        EXPECT_EQ(app::ProbePort(port), std::nullopt);
    }
}

}  // namespace
