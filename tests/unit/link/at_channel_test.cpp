#include "link/at_channel.h"

#include <gtest/gtest.h>

#include "wire_fixture.h"

namespace {

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(AtChannelSettings, TimeoutIsCappedAndAttemptsAreBounded)
{
    CAtChannel channel;
    EXPECT_TRUE(channel.SetTimeout(8000));
    EXPECT_EQ(channel.Timeout(), 5000u);
    EXPECT_TRUE(channel.SetTimeout(1000));
    EXPECT_EQ(channel.Timeout(), 1000u);

    EXPECT_TRUE(channel.SetAttempts(2));
    EXPECT_FALSE(channel.SetAttempts(0));
    EXPECT_FALSE(channel.SetAttempts(10));
    EXPECT_FALSE(channel.SetAttempts(-1));
    EXPECT_EQ(channel.Attempts(), 2);
    EXPECT_TRUE(channel.SetAttempts(9));
    EXPECT_EQ(channel.Attempts(), 9);
}

TEST(AtReplyLine, FirstLineBetweenTwoCrLfUnlessItReadsError)
{
    const struct {
        const char* reply;
        bool found;
        const char* line;
    } cases[] = {
        {"\r\nABC\r\n\r\nOK\r\n", true, "ABC"},
        {"AT+KCDRUN=E\r\r\nABC\r\n\r\nOK\r\n", true, "ABC"},
        {"\r\nOK\r\n", true, "OK"},
        {"\r\nERRORS\r\n", true, "ERRORS"},
        {"\r\nERROR\r\n", false, nullptr},
        {"\r\nerror\r\n", false, nullptr},
        {"\r\nErRoR\r\n", false, nullptr},
        {"AT\r\r\nError\r\n", false, nullptr},
        {"", false, nullptr},
        {"\r\nABC", false, nullptr},
        {"\r\nABC\r", false, nullptr},
        {"ABC\r\rDEF\r", false, nullptr},
    };
    for (const auto& c : cases) {
        std::string line;
        EXPECT_EQ(CAtChannel::ExtractReplyLine(c.reply, line), c.found) << c.reply;
        if (c.line) {
            EXPECT_EQ(line, c.line);
        }
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
    CAtChannel channel;
};

TEST_F(AtChannelTest, SendsTheCommandWithCarriageReturnOnly)
{
    device.Then(Text("\r\nOK\r\n"));
    std::string line;
    EXPECT_TRUE(channel.Execute("AT+KCDRUN=E", line));
    EXPECT_EQ(line, "OK");
    ASSERT_EQ(wire->HostWrites().size(), 1u);
    EXPECT_EQ(wire->HostWrites()[0], Text("AT+KCDRUN=E\r"));
    EXPECT_EQ(channel.CommandText(), "AT+KCDRUN=E\r");
}

TEST_F(AtChannelTest, SilentDeviceCostsBothAttempts)
{
    EXPECT_FALSE(channel.SendCommand("AT+KCDRUN=8"));
    EXPECT_EQ(wire->HostWrites().size(), 2u);
    EXPECT_EQ(Elapsed(), 2400u);
}

TEST_F(AtChannelTest, SecondAttemptCanSucceed)
{
    device.ThenSilence();
    device.Then(Text("\r\nOK\r\n"));
    EXPECT_TRUE(channel.SendCommand("AT+KCDRUN=F"));
    EXPECT_EQ(Elapsed(), 1200u + 200u);
}

TEST_F(AtChannelTest, ErrorReplyAndSingleLineFail)
{
    device.Then(Text("\r\nERROR\r\n"));
    EXPECT_FALSE(channel.SendCommand("AT+KCDRUN=9"));
    device.Then(Text("\r\nOK"));
    EXPECT_FALSE(channel.SendCommand("AT+KCDRUN=9"));
    EXPECT_EQ(channel.ReplyText(), "\r\nOK");
    // A reply arrived each time, so neither was retried.
    EXPECT_EQ(wire->HostWrites().size(), 2u);
}

TEST_F(AtChannelTest, OnlyTheFirst256BytesAreExamined)
{
    std::string reply = "\r\n" + std::string(260, 'x') + "\r\nOK\r\n";
    device.Then(Text(reply));
    EXPECT_FALSE(channel.SendCommand("AT"));
    EXPECT_EQ(channel.ReplyText(), reply.substr(0, 256));
    EXPECT_EQ(channel.port.BytesWaiting(), reply.size() - 256);
}

TEST_F(AtChannelTest, ClosedPortFailsWithoutWaiting)
{
    channel.port.Close();
    EXPECT_FALSE(channel.SendCommand("AT"));
    EXPECT_EQ(Elapsed(), 0u);
}

}  // namespace
