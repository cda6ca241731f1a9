// Host bytes reaching the simulated modem, in each of its modes. Input: a byte
// choosing where the device stands (normal software, boot downloader, flash
// programmer fresh or with an image open, or inside a raw transfer), a byte
// choosing how the rest is fed, then the host's bytes. The device is switched
// on where it is to stand, and its flash is small, so that no input costs
// more than a few requests and a write anywhere in the flash stays cheap.
#include <string_view>

#include "fuzz_support.h"
#include "sim/modem.h"

namespace {

using fuzz::Bytes;

// Checks what the device sends and otherwise drops it: every binary reply is
// a frame with a correct CRC, every text reply ends its line.
struct CheckingLink final : sim::ISimLink {
    FUZZ_HARNESS void Send(sim::SimPort port, const Bytes& bytes, std::uint32_t) override
    {
        FUZZ_CHECK(bytes.size() >= 2);
        if (port == sim::SimPort::Modem || bytes.back() == '\n') {
            FUZZ_CHECK(bytes[bytes.size() - 2] == '\r' && bytes.back() == '\n');
            return;
        }
        FUZZ_CHECK(bytes.back() == frame::kFlag);
        const std::size_t begin = bytes.front() == frame::kFlag ? 1 : 0;
        m_payload.clear();
        frame::AppendUnescaped(bytes.data() + begin, bytes.size() - begin - 1, m_payload);
        FUZZ_CHECK(frame::CheckCrc(m_payload.data(), m_payload.size()));
    }
    FUZZ_HARNESS void BusChanged() override {}

    Bytes m_payload;
};

struct Device {
    explicit Device(std::uint8_t stage)
        : modem({.flashSize = 0x10000,
                 .startMode = stage == 0 ? sim::SimMode::Normal : stage == 1 ? sim::SimMode::Downloader : sim::SimMode::Programmer})
    {
        modem.Connect(&link);
    }

    FUZZ_HARNESS void Request(const Bytes& payload)
    {
        framed.clear();
        fuzz::AppendFrame(payload, true, framed);
        modem.Receive(sim::SimPort::Diag, framed.data(), framed.size(), now);
    }
    FUZZ_HARNESS void Wait(std::uint32_t ms)
    {
        now += ms;
        modem.Advance(now);
    }

    // Takes the flash programmer to `stage` through the requests a host
    // would send.
    FUZZ_HARNESS void Prepare(std::uint8_t stage)
    {
        if (stage <= 2) return;
        const std::string_view hello = "\x01QCOM fast download protocol host\x02\x02\x03";
        Request(Bytes(hello.begin(), hello.end()));
        Request({0x1B, 0x04, 0x01, 0x02});
        if (stage == 3) return;
        // A 0x40-byte transfer: an image size (checksum mode) or a region.
        if (stage == 4) {
            Request({0x28, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x01});
        } else {
            Request({0x1D, 0x00, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x12, 0x34});
        }
    }

    CheckingLink link;
    sim::SimModem modem;
    Bytes framed;
    std::uint32_t now = 0;
};

}  // namespace

// How the host's bytes are fed, from one byte:
//   bits 0-1  port: diagnostic, modem, or alternating chunk by chunk
//   bit 2     the bytes are frame text for FrameEach, else raw
//   bit 3     frames carry an opening flag
//   bits 4-7  chunk size in steps of 8 bytes, each chunk 1 ms after the last
extern "C" FUZZ_HARNESS int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t stage = input.Byte() % 6;
    const std::uint8_t feed = input.Byte();
    const fuzz::View text = input.Rest();
    static Bytes framed;
    if (feed & 4) fuzz::FrameEach(text, feed & 8, framed);
    const fuzz::View bytes = feed & 4 ? fuzz::View(framed) : text;

    Device device(stage);
    device.Prepare(stage);
    const std::size_t chunk = 8 * (static_cast<std::size_t>(feed >> 4) + 1);
    for (std::size_t at = 0, index = 0; at < bytes.size(); at += chunk, ++index) {
        const int portChoice = feed & 3;
        const bool modemPort = portChoice == 1 || (portChoice >= 2 && index % 2 == 1);
        const std::size_t length = std::min(chunk, bytes.size() - at);
        device.modem.Receive(modemPort ? sim::SimPort::Modem : sim::SimPort::Diag, bytes.data() + at, length, device.now);
        device.Wait(1);
    }
    // Lets a reset the bytes caused run its course.
    device.Wait(10000);
    return 0;
}
