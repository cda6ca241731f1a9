// The flash programmer's unsolicited frames: block-written reports, error
// replies and vendor status, found by ScanFrames in received bytes and by
// ReadOneFrame in what the port delivers piece by piece. Input: a byte
// choosing the reader, a delivery byte, then the device's bytes.
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

// Frames built here: each that ends inside the buffer counts, up to the
// first error reply or refusal. Without opening flags a frame's closing flag opens the
// next one, so only every second frame is read.
void CheckScan(const download::ScanResult& scan, const fuzz::Bytes& text, bool leadingFlag)
{
    std::vector<std::uint32_t> acknowledged;
    std::size_t end = 0;
    std::size_t index = 0;
    bool expectOk = true;
    for (const fuzz::Bytes& payload : fuzz::Payloads(text)) {
        end += fuzz::Frame(payload, leadingFlag).size();
        if (end > CPhoneProtocol::kReceiveSize) break;
        if (!leadingFlag && index++ % 2 == 1) continue;
        // An error reply, or the boot downloader's refusal, ends the scan.
        if (Code(payload) == Streaming::kError || Code(payload) == Streaming::kDownloaderRefusal) {
            FUZZ_CHECK(Code(payload) == Streaming::kDownloaderRefusal || scan.reason == Streaming::ErrorText(Value(payload)));
            expectOk = false;
            break;
        }
        if (Code(payload) == Streaming::kBlockWritten) acknowledged.push_back(Value(payload));
    }
    FUZZ_CHECK(scan.ok == expectOk);
    const std::size_t kept = std::min(acknowledged.size(), download::kAckListSize);
    FUZZ_CHECK(scan.acknowledged.size() == kept);
    FUZZ_CHECK(std::equal(acknowledged.end() - static_cast<std::ptrdiff_t>(kept), acknowledged.end(), scan.acknowledged.begin()));
}

void Scan(const fuzz::Delivery& delivery, const fuzz::Bytes& text, const fuzz::Bytes& bytes)
{
    // The port never hands over more than the receive buffer holds.
    const std::size_t read = std::min(bytes.size(), CPhoneProtocol::kReceiveSize);
    const download::ScanResult scan = download::ScanFrames(std::span(bytes.data(), read));
    FUZZ_CHECK(scan.ok == scan.reason.empty());
    if (delivery.framed) CheckScan(scan, text, delivery.leadingFlag);
}

void ReadFrames(CPhoneProtocol& protocol, download::StreamInbox& inbox, fuzz::Line& line,
                const fuzz::Delivery& delivery, const fuzz::Bytes& text, const fuzz::Bytes& bytes)
{
    line.Send();
    const std::size_t pieces = delivery.pieceSize ? bytes.size() / delivery.pieceSize + 1 : 1;
    const std::uint32_t lastPieceDue = static_cast<std::uint32_t>(pieces - 1) * delivery.gapMs;
    std::size_t acknowledged = 0;
    // Each call takes at least one byte or one new piece, so the bytes run
    // out within this many calls.
    bool drained = false;
    for (std::size_t call = 0; call < bytes.size() + pieces + 1 && !drained; ++call) {
        FUZZ_CHECK(download::ReadOneFrame(protocol, inbox) == protocol.LastError().empty());
        FUZZ_CHECK(inbox.Acknowledged().size() <= 1);
        acknowledged += inbox.Acknowledged().size();
        drained = inbox.pendingCount == 0 && line.clock.TickCount() >= lastPieceDue && protocol.port.BytesWaiting() == 0;
        line.clock.SleepMs(delivery.gapMs);
    }
    FUZZ_CHECK(drained);

    // Frames built here and read at once: each call starts afresh after a
    // closing flag, so every report is seen once, opening flags or not.
    if (delivery.framed && delivery.pieceSize == 0 && bytes.size() <= CPhoneProtocol::kReceiveSize) {
        const auto payloads = fuzz::Payloads(text);
        const auto reports = std::count_if(payloads.begin(), payloads.end(),
                                           [](const fuzz::Bytes& payload) { return Code(payload) == Streaming::kBlockWritten; });
        FUZZ_CHECK(acknowledged == static_cast<std::size_t>(reports));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t reader = input.Byte();
    const fuzz::Delivery delivery(input.Byte());
    const fuzz::Bytes text = input.Rest();
    const fuzz::Bytes bytes = delivery.Encode(text);
    fuzz::Line line({bytes}, delivery);
    CPhoneProtocol protocol(line.clock, line.ports);
    download::StreamInbox inbox;
    FUZZ_CHECK(protocol.port.Open(fuzz::Line::kPort, 115200, 8, 1));

    switch (reader % 5) {
    case 0: Scan(delivery, text, bytes); break;
    case 1: ReadFrames(protocol, inbox, line, delivery, text, bytes); break;
    case 2: {
        const std::uint8_t block[] = {0x7E, 0x7D, 0x5A};
        // A success leaves no reason; a failure names its fault.
        FUZZ_CHECK(download::StreamWrite(protocol, inbox, 0x1000, block, sizeof block) == protocol.LastError().empty());
        FUZZ_CHECK(inbox.Acknowledged().size() <= download::kAckListSize);
        break;
    }
    // Frames built here escape nothing but 0x7E and 0x7D, so a status code
    // read from them was sent as it is.
    case 3: {
        line.Send();
        const bool ready = download::WaitReady(protocol, inbox);
        const std::uint8_t readyStatus[] = {Streaming::kVendorStatus, 0x01};
        if (delivery.framed && std::search(bytes.begin(), bytes.end(), std::begin(readyStatus), std::end(readyStatus)) == bytes.end()) {
            FUZZ_CHECK(!ready);
        }
        break;
    }
    case 4: {
        line.Send();
        bool verified = true;
        FUZZ_CHECK(download::WaitVerify(protocol, inbox, verified));
        if (delivery.framed && std::find(bytes.begin(), bytes.end(), Streaming::kVendorStatus) == bytes.end()) {
            FUZZ_CHECK(verified);
        }
        break;
    }
    }
    return 0;
}
