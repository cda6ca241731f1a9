// The flash programmer's unsolicited frames: block-written reports, error
// replies and vendor status, found by ScanFrames (and each parsed by
// ParseStreamFrame) in received bytes. Input: a framing byte, then the
// device's bytes.
#include <algorithm>
#include <string>

#include "download/streaming.h"
#include "fuzz_support.h"

namespace {

using download::Streaming;

// A frame built here: where it ends among the bytes, and what it reports.
struct Sent {
    std::size_t end;
    std::uint8_t code;
    std::uint32_t value;
};

// The code and the u32 behind it, zero where the payload is too short.
FUZZ_HARNESS Sent Report(fuzz::View payload, std::size_t end)
{
    std::uint32_t value = 0;
    for (std::size_t i = 1; i <= 4; ++i) value |= static_cast<std::uint32_t>(i < payload.size() ? payload[i] : 0) << (8 * (i - 1));
    return {end, payload.empty() ? std::uint8_t{0} : payload[0], value};
}

// Frames each payload of `text` into `out` until the frames fill the
// receive buffer, which is all the port hands over; the rest is never read.
FUZZ_HARNESS void FrameReceivable(fuzz::View text, bool leadingFlag, fuzz::Bytes& out, std::vector<Sent>& sent)
{
    out.clear();
    sent.clear();
    fuzz::ForEachPayload(text, [&](fuzz::View payload) FUZZ_HARNESS {
        fuzz::AppendFrame(payload, leadingFlag, out);
        sent.push_back(Report(payload, out.size()));
        return out.size() <= CPhoneProtocol::kReceiveSize;
    });
}

// Frames built here: each that ends inside the buffer counts, up to the
// first error reply or refusal. Without opening flags a frame's closing flag
// opens the next one, so only every second frame is read.
FUZZ_HARNESS void CheckScan(const download::ScanResult& scan, const std::vector<Sent>& sent, bool leadingFlag)
{
    // Kept from input to input, like the harness's other buffers.
    static std::vector<std::uint32_t> acknowledged;
    acknowledged.clear();
    std::size_t index = 0;
    bool expectOk = true;
    for (const Sent& frame : sent) {
        if (frame.end > CPhoneProtocol::kReceiveSize) break;
        if (!leadingFlag && index++ % 2 == 1) continue;
        // An error reply, or the boot downloader's refusal, ends the scan.
        if (frame.code == Streaming::kError || frame.code == Streaming::kDownloaderRefusal) {
            FUZZ_CHECK(frame.code == Streaming::kDownloaderRefusal || scan.result.Reason() == Streaming::ErrorText(frame.value));
            expectOk = false;
            break;
        }
        if (frame.code == Streaming::kBlockWritten) acknowledged.push_back(frame.value);
    }
    FUZZ_CHECK(static_cast<bool>(scan.result) == expectOk);
    const std::size_t kept = std::min(acknowledged.size(), download::kAckListSize);
    FUZZ_CHECK(scan.acknowledged.size() == kept);
    FUZZ_CHECK(std::equal(acknowledged.end() - static_cast<std::ptrdiff_t>(kept), acknowledged.end(), scan.acknowledged.begin()));
}

}  // namespace

extern "C" FUZZ_HARNESS int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const fuzz::Delivery framing(input.Byte());
    const fuzz::View text = input.Rest();
    static fuzz::Bytes framed;
    static std::vector<Sent> sent;
    if (framing.framed) FrameReceivable(text, framing.leadingFlag, framed, sent);
    const fuzz::View bytes = framing.framed ? fuzz::View(framed) : text;

    // The port never hands over more than the receive buffer holds.
    const std::size_t read = std::min(bytes.size(), CPhoneProtocol::kReceiveSize);
    const download::ScanResult scan = download::ScanFrames(bytes.first(read));
    FUZZ_CHECK(static_cast<bool>(scan.result) == scan.result.Reason().empty());
    if (framing.framed) CheckScan(scan, sent, framing.leadingFlag);
    return 0;
}
