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

std::uint32_t Value(const fuzz::Bytes& payload)
{
    std::uint32_t value = 0;
    for (std::size_t i = 1; i <= 4; ++i) value |= static_cast<std::uint32_t>(i < payload.size() ? payload[i] : 0) << (8 * (i - 1));
    return value;
}

std::uint8_t Code(const fuzz::Bytes& payload) { return payload.empty() ? 0 : payload[0]; }

// The length of fuzz::Frame(payload, leadingFlag), without building it.
std::size_t FramedSize(const fuzz::Bytes& payload, bool leadingFlag)
{
    const auto size = [](std::uint8_t byte) -> std::size_t { return byte == frame::kFlag || byte == frame::kEscape ? 2 : 1; };
    const std::uint16_t crc = frame::Crc16(payload.data(), payload.size());
    std::size_t total = (leadingFlag ? 1 : 0) + size(static_cast<std::uint8_t>(crc)) + size(static_cast<std::uint8_t>(crc >> 8)) + 1;
    for (const std::uint8_t byte : payload) total += size(byte);
    return total;
}

// Frames built here: each that ends inside the buffer counts, up to the
// first error reply or refusal. Without opening flags a frame's closing flag
// opens the next one, so only every second frame is read.
void CheckScan(const download::ScanResult& scan, fuzz::View text, bool leadingFlag)
{
    // Kept from input to input, like the harness's other buffers.
    static std::vector<std::uint32_t> acknowledged;
    acknowledged.clear();
    std::size_t end = 0;
    std::size_t index = 0;
    bool expectOk = true;
    bool done = false;
    fuzz::ForEachPayload(text, [&](const fuzz::Bytes& payload) {
        end += FramedSize(payload, leadingFlag);
        done = done || end > CPhoneProtocol::kReceiveSize;
        if (done || (!leadingFlag && index++ % 2 == 1)) return;
        // An error reply, or the boot downloader's refusal, ends the scan.
        if (Code(payload) == Streaming::kError || Code(payload) == Streaming::kDownloaderRefusal) {
            FUZZ_CHECK(Code(payload) == Streaming::kDownloaderRefusal || scan.reason == Streaming::ErrorText(Value(payload)));
            expectOk = false;
            done = true;
        } else if (Code(payload) == Streaming::kBlockWritten) {
            acknowledged.push_back(Value(payload));
        }
    });
    FUZZ_CHECK(scan.ok == expectOk);
    const std::size_t kept = std::min(acknowledged.size(), download::kAckListSize);
    FUZZ_CHECK(scan.acknowledged.size() == kept);
    FUZZ_CHECK(std::equal(acknowledged.end() - static_cast<std::ptrdiff_t>(kept), acknowledged.end(), scan.acknowledged.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const fuzz::Delivery framing(input.Byte());
    const fuzz::View text = input.Rest();
    static fuzz::Bytes framed;
    const fuzz::View bytes = framing.Encode(text, framed);

    // The port never hands over more than the receive buffer holds.
    const std::size_t read = std::min(bytes.size(), CPhoneProtocol::kReceiveSize);
    const download::ScanResult scan = download::ScanFrames(bytes.first(read));
    FUZZ_CHECK(scan.ok == scan.reason.empty());
    if (framing.framed) CheckScan(scan, text, framing.leadingFlag);
    return 0;
}
