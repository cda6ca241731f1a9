// Replies on the modem port: the first-line extraction on its own, and
// Execute reading the same bytes off the wire. Input: a delivery byte, then
// the reply text.
#include <algorithm>
#include <cctype>
#include <string>

#include "fuzz_support.h"
#include "link/at_channel.h"

namespace {

bool IsError(const std::string& line)
{
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower == "error";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const fuzz::Delivery delivery(input.Byte());
    const fuzz::Bytes bytes = input.Rest();
    const std::string reply(bytes.begin(), bytes.end());

    std::string line;
    if (CAtChannel::ExtractReplyLine(reply, line)) {
        // A line lies inside the reply, holds no line end and is no error.
        FUZZ_CHECK(reply.find(line) != std::string::npos);
        FUZZ_CHECK(line.find("\r\n") == std::string::npos);
        FUZZ_CHECK(!IsError(line));
    }

    fuzz::Line wire({bytes}, delivery);
    CAtChannel at(wire.clock, wire.ports);
    FUZZ_CHECK(at.port.Open(fuzz::Line::kPort, 115200, 8, 1));
    at.SetTimeout(300);
    at.SetAttempts(1);
    std::string executed;
    const bool ok = at.Execute("AT", executed);
    // Execute reads at most one buffer of what has settled and judges it as
    // ExtractReplyLine does.
    FUZZ_CHECK(at.ReplyText().size() <= CAtChannel::kReplyReadSize);
    FUZZ_CHECK(reply.compare(0, at.ReplyText().size(), at.ReplyText()) == 0);
    std::string expected;
    FUZZ_CHECK(ok == (!at.ReplyText().empty() && CAtChannel::ExtractReplyLine(at.ReplyText(), expected)));
    if (ok) FUZZ_CHECK(executed == expected);
    return 0;
}
