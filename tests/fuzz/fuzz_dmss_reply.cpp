// Boot downloader replies. Input: a byte choosing the request, a delivery
// byte, then the reply: read by the reply parsers directly and through the
// packet engine by the request.
#include <algorithm>

#include "download/dmss.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t request = input.Byte();
    const fuzz::Delivery delivery(input.Byte());
    const fuzz::Bytes raw = delivery.Encode(input.Rest());

    const Parsed<fuzz::Bytes> unframed = UnframeReply(ProtocolMode::Dmss, raw);
    if (unframed) {
        const fuzz::Bytes& payload = *unframed.value;
        // A refusal is always refused, nothing else is.
        FUZZ_CHECK(download::Dmss::Refusal(payload).has_value() == (!payload.empty() && payload[0] == download::Dmss::kNak));
        const download::FlashInfo info = download::Dmss::ParseFlashInfo(payload);
        const std::size_t copied = std::min(payload.size(), info.size());
        FUZZ_CHECK(std::equal(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(copied), info.begin()));
        FUZZ_CHECK(std::all_of(info.begin() + static_cast<std::ptrdiff_t>(copied), info.end(), [](std::uint8_t byte) { return byte == 0; }));
    }

    fuzz::Line line({raw}, delivery);
    CPhoneProtocol protocol(line.clock, line.ports);
    FUZZ_CHECK(protocol.port.Open(fuzz::Line::kPort, 115200, 8, 1));
    bool ok = false;
    switch (request % 5) {
    case 0: {
        download::FlashInfo info;
        info.fill(0xA5);
        ok = download::DmssGetParams(protocol, info);
        if (!ok) FUZZ_CHECK(std::all_of(info.begin(), info.end(), [](std::uint8_t byte) { return byte == 0; }));
        break;
    }
    case 1: ok = download::DmssNop(protocol); break;
    case 2: {
        const std::uint8_t block[] = {0x7E, 0x7D, 0x00, 0xFF};
        ok = download::DmssWrite(protocol, 0x800000, block, sizeof block);
        break;
    }
    case 3: ok = download::DmssGo(protocol, 0x0080, 0x0000); break;
    case 4: ok = download::DmssReset(protocol); break;
    }
    // A success leaves no reason; a failure always has its sentence.
    FUZZ_CHECK(protocol.LastError().empty() == ok);
    return 0;
}
