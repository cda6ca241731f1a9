// Boot downloader replies. Input: a byte choosing the request, a delivery
// byte, then the reply.
#include <algorithm>

#include "download/dmss.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t request = input.Byte();
    const fuzz::Delivery delivery(input.Byte());
    fuzz::Line line({delivery.Encode(input.Rest())}, delivery);
    CPhoneProtocol protocol;
    protocol.port.Open(fuzz::Line::kPort, 115200, 8, 1);

    bool ok = false;
    switch (request % 5) {
    case 0: {
        download::FlashInfo info;
        info.fill(0xA5);
        ok = download::DmssGetParams(protocol, info);
        if (ok) {
            FUZZ_CHECK(std::equal(info.begin(), info.end(), protocol.reply));
        } else {
            FUZZ_CHECK(std::all_of(info.begin(), info.end(), [](std::uint8_t byte) { return byte == 0; }));
        }
        break;
    }
    case 1:
        ok = download::DmssNop(protocol);
        if (ok) FUZZ_CHECK(protocol.reply[0] == download::Dmss::kAck);
        break;
    case 2: {
        const std::uint8_t block[] = {0x7E, 0x7D, 0x00, 0xFF};
        ok = download::DmssWrite(protocol, 0x800000, block, sizeof block);
        break;
    }
    case 3: ok = download::DmssGo(protocol, 0x0080, 0x0000); break;
    case 4: ok = download::DmssReset(protocol); break;
    }
    // A refusal never passes for success.
    if (ok) FUZZ_CHECK(protocol.reply[0] != download::Dmss::kNak);
    FUZZ_CHECK(protocol.rxPayloadLength <= CPhoneProtocol::kReceiveSize);
    return 0;
}
