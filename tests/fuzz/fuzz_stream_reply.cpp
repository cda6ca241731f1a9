// Flash programmer replies to the requests that wait for one. Input: a byte
// choosing the request, a delivery byte, then the reply: read by the reply
// parser directly and through the packet engine by the request.
#include "download/streaming.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t request = input.Byte();
    const fuzz::Delivery delivery(input.Byte());
    const fuzz::Bytes raw = delivery.Encode(input.Rest());

    using download::Streaming;
    const std::uint8_t answers[] = {Streaming::kHelloReply, Streaming::kOpenMultiImageReply, Streaming::kNopReply,
                                    Streaming::kCloseImageReply, Streaming::kSecurityModeReply,
                                    Streaming::kPartitionTableReply};
    const std::uint8_t answer = answers[request % 6];
    const Parsed<fuzz::Bytes> unframed = UnframeReply(ProtocolMode::Streaming, raw);
    bool accepted = false;
    if (unframed) {
        const fuzz::Bytes& payload = *unframed.value;
        // An error reply is always refused, nothing else is; with an answer
        // asked for, only that answer is taken.
        const bool error = !payload.empty() && payload[0] == Streaming::kError;
        FUZZ_CHECK(Streaming::Refusal(payload).has_value() == error);
        accepted = !Streaming::RefusalUnless(payload, answer).has_value();
        FUZZ_CHECK(accepted == (!payload.empty() && payload[0] == answer));
    }

    fuzz::Line line({raw}, delivery);
    CPhoneProtocol protocol(line.clock, line.ports);
    FUZZ_CHECK(protocol.port.Open(fuzz::Line::kPort, 115200, 8, 1));
    const std::uint8_t header[] = {0x01, 0x7E, 0x7D, 0x02};
    bool ok = false;
    switch (request % 6) {
    case 0: ok = download::Hello(protocol); break;
    case 1: ok = download::OpenMultiImage(protocol, static_cast<std::uint8_t>(request >> 3), header, sizeof header); break;
    case 2: ok = download::StreamNop(protocol); break;
    case 3: ok = download::CloseImage(protocol); break;
    case 4: ok = download::EnterSecurityMode(protocol); break;
    case 5: ok = download::SendPartitionTable(protocol, header, sizeof header); break;
    }
    // A whole reply other than the request's answer is never taken for success.
    if (unframed && delivery.pieceSize == 0 && !accepted) FUZZ_CHECK(!ok);
    if (ok) FUZZ_CHECK(protocol.LastError().empty());
    return 0;
}
