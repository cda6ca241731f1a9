// Replies on the modem port: the extraction of their first line. Input: the
// reply text.
#include <algorithm>
#include <cctype>
#include <string>

#include "fuzz_support.h"
#include "link/at_channel.h"

extern "C" FUZZ_HARNESS int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::string line;
    if (!CAtChannel::ExtractReplyLine(reply, line)) return 0;
    // A line lies inside the reply, after a line end; it holds none and is
    // no error.
    FUZZ_CHECK(reply.find("\r\n" + line) != std::string::npos);
    FUZZ_CHECK(line.find("\r\n") == std::string::npos);
    std::transform(line.begin(), line.end(), line.begin(), [](unsigned char c) { return std::tolower(c); });
    FUZZ_CHECK(line != "error");
    return 0;
}
