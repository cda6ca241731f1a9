// The framing of each mode, and the download replies once unframed. Input: a
// byte choosing the mode (bits 0-1) and a flash programmer answer (the
// rest), then bytes read both as a received reply and as a payload: framed
// as a request, unframed again and read by the boot downloader's or the
// flash programmer's reply parsers.
#include <algorithm>

#include "download/dmss.h"
#include "download/streaming.h"
#include "fuzz_support.h"

namespace {

using download::Dmss;
using download::Streaming;

FUZZ_HARNESS void ParseDownloadReply(ProtocolMode mode, std::uint8_t answerChoice, const fuzz::Bytes& payload)
{
    const std::uint8_t code = payload.empty() ? 0 : payload[0];
    if (mode == ProtocolMode::Dmss) {
        // A refusal is always refused, nothing else is; the flash information
        // is the reply's first bytes, zero beyond.
        FUZZ_CHECK(!Dmss::Refusal(payload) == (code == Dmss::kNak && !payload.empty()));
        const download::FlashInfo info = Dmss::ParseFlashInfo(payload);
        const auto copied = static_cast<std::ptrdiff_t>(std::min(payload.size(), info.size()));
        FUZZ_CHECK(std::equal(payload.begin(), payload.begin() + copied, info.begin()));
        FUZZ_CHECK(std::all_of(info.begin() + copied, info.end(), [](std::uint8_t byte) { return byte == 0; }));
    } else if (mode == ProtocolMode::Streaming) {
        // An error reply is always refused, nothing else is; with an answer
        // asked for, only that answer is taken, and a refusal always says why.
        const std::uint8_t answers[] = {Streaming::kHelloReply,      Streaming::kOpenMultiImageReply, Streaming::kNopReply,
                                        Streaming::kCloseImageReply, Streaming::kSecurityModeReply,   Streaming::kPartitionTableReply};
        const std::uint8_t answer = answers[answerChoice % 6];
        FUZZ_CHECK(!Streaming::Refusal(payload) == (code == Streaming::kError && !payload.empty()));
        const StepResult verdict = Streaming::RefusalUnless(payload, answer);
        FUZZ_CHECK(static_cast<bool>(verdict) == (code == answer && !payload.empty()) && (verdict || !verdict.Reason().empty()));
    }
}

}  // namespace

extern "C" FUZZ_HARNESS int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t choice = input.Byte();
    const auto mode = static_cast<ProtocolMode>(choice & 3);
    const fuzz::View bytes = input.Rest();

    // A reply is taken with its CRC and closing flag, or refused with a reason.
    const Result<fuzz::Bytes> reply = UnframeReply(mode, bytes);
    if (reply) {
        FUZZ_CHECK(reply.Reason().empty() && reply->size() + 3 <= bytes.size());
    } else {
        FUZZ_CHECK(reply.Reason() == CPhoneProtocol::kNoEndFlag || reply.Reason() == CPhoneProtocol::kBadCrc);
    }

    // A request frame (refused only when too large, which no input here is)
    // holds flags only at its ends and unframes to its payload, in the
    // download modes also without its opening flag.
    const fuzz::Bytes request = FrameRequest(mode, bytes);
    FUZZ_CHECK(2 * bytes.size() + 6 <= CPhoneProtocol::kTransmitSize && !request.empty());
    const bool opening = mode == ProtocolMode::Dmss || mode == ProtocolMode::Streaming;
    FUZZ_CHECK(request.size() <= CPhoneProtocol::kTransmitSize && (request.front() == frame::kFlag) == opening);
    FUZZ_CHECK(std::count(request.begin(), request.end(), frame::kFlag) == (opening ? 2 : 1) && request.back() == frame::kFlag);
    const Result<fuzz::Bytes> back = UnframeReply(mode, std::span(request).subspan(opening ? 1 : 0));
    FUZZ_CHECK(back && std::ranges::equal(*back, bytes));
    ParseDownloadReply(mode, static_cast<std::uint8_t>(choice >> 2), *back);
    return 0;
}
