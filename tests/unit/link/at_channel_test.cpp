#include "link/at_channel.h"

#include <gtest/gtest.h>

#include "wire_fixture.h"

namespace {

TEST(AtReplyLine, FirstLineBetweenTwoCrLfUnlessItReadsError)
{
    // nullptr: no line is found.
    const std::pair<const char*, const char*> cases[] = {
        {"\r\nABC\r\n\r\nOK\r\n", "ABC"}, {"AT+KCDRUN=E\r\r\nABC\r\n\r\nOK\r\n", "ABC"},
        {"\r\nOK\r\n", "OK"}, {"\r\nERRORS\r\n", "ERRORS"},
        {"\r\nERROR\r\n", nullptr}, {"\r\nErRoR\r\n", nullptr}, {"AT\r\r\nError\r\n", nullptr}, {"", nullptr},
        {"\r\nABC", nullptr}, {"\r\nABC\r", nullptr}, {"ABC\r\rDEF\r", nullptr},
    };
    for (const auto& [reply, expected] : cases) {
        std::string line;
        EXPECT_EQ(CAtChannel::ExtractReplyLine(reply, line), expected != nullptr) << reply;
        if (expected) { EXPECT_EQ(line, expected); }
    }
}

class AtChannelTest : public WireTest {
protected:
    AtChannelTest()
    {
        EXPECT_TRUE(channel.port.Open(kPort, 115200, 8, 1));
        channel.SetTimeout(1000);
        channel.SetAttempts(2);
    }
    CAtChannel channel{clock, ports};
};

// Only silence is retried; a reply that came is judged once. The command
// goes out with a carriage return only.
TEST_F(AtChannelTest, SilenceIsRetriedAndAnyReplyJudgedOnce)
{
    device.Then(Text("\r\nOK\r\n"));
    std::string line;
    EXPECT_TRUE(channel.Execute("AT+KCDRUN=E", line));
    EXPECT_EQ(line, "OK");
    EXPECT_EQ(wire->HostWrites(), std::vector<Bytes>{Text("AT+KCDRUN=E\r")});

    const struct {
        std::vector<std::string> replies;  // "": silence
        bool ok;
        std::size_t writes;
        std::uint32_t elapsed;
    } cases[] = {
        {{}, false, 2, 2 * 1200},
        {{"", "\r\nOK\r\n"}, true, 2, 1200 + 200},
        {{"\r\nERROR\r\n"}, false, 1, 200},
        {{"\r\nOK"}, false, 1, 200},
    };
    for (const auto& c : cases) {
        for (const std::string& reply : c.replies) device.Then(Text(reply));
        const std::size_t writes = wire->HostWrites().size();
        const std::uint32_t start = Elapsed();
        EXPECT_EQ(channel.SendCommand("AT+KCDRUN=9"), c.ok) << c.writes << " " << c.elapsed;
        EXPECT_EQ(wire->HostWrites().size() - writes, c.writes);
        EXPECT_EQ(Elapsed() - start, c.elapsed);
    }
    channel.port.Close();
    const std::uint32_t start = Elapsed();
    EXPECT_FALSE(channel.SendCommand("AT"));
    EXPECT_EQ(Elapsed(), start);
}

}  // namespace
