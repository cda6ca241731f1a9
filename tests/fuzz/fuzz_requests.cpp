// Requests through the packet engine and the readers of the port, against a
// device that answers with the input. Input: a byte choosing the request, a
// delivery byte, then the device's reply. The clock jumps ahead whenever
// nothing the device sent is still on its way, and a closing frame ends the
// readers that poll a number of times (see README.md).
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "fuzz_support.h"
#include "link/at_channel.h"
#include "platform/backends.h"

namespace {

using fuzz::Bytes;
using download::Streaming;
using fuzz::Delivery;

// What the device has sent on the line and the host has read; started
// afresh for each input, its buffers kept.
struct Wire {
    static constexpr std::uint32_t kIdleJumpMs = 200000;  // longer than any reply time-out

    // The answer to each host write.
    Bytes reply;
    Delivery delivery{0};
    // Sent whole once everything else is read: a frame read in parts is lost
    // to the frame reader.
    Bytes closing;
    bool closingSent = false;
    std::size_t read = 0, due = 0;
    std::uint64_t now = 0;
    Bytes stream;
    std::vector<std::pair<std::size_t, std::uint64_t>> pieces;  // end in `stream`, due tick

    FUZZ_HARNESS void Start(fuzz::View answer, Delivery how, fuzz::View last)
    {
        reply.assign(answer.begin(), answer.end());
        delivery = how;
        closing.assign(last.begin(), last.end());
        closingSent = false;
        read = due = 0;
        now = 0;
        stream.clear();
        pieces.clear();
    }
    FUZZ_HARNESS void Send() { Schedule(reply, delivery.pieceSize ? delivery.pieceSize : reply.size()); }
    FUZZ_HARNESS void Schedule(const Bytes& bytes, std::size_t step)
    {
        // A line delivers in order: nothing overtakes what was sent before it.
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            const std::uint64_t dueAt = now + at / step * delivery.gapMs;
            pieces.emplace_back(stream.size() + std::min(at + step, bytes.size()), std::max(dueAt, pieces.empty() ? 0 : pieces.back().second));
        }
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    FUZZ_HARNESS std::size_t Delivered()
    {
        while (due < pieces.size() && pieces[due].second <= now) ++due;
        return due == 0 ? 0 : pieces[due - 1].first;
    }
    FUZZ_HARNESS std::uint32_t Queued()
    {
        if (read == stream.size() && !closing.empty() && !std::exchange(closingSent, true)) Schedule(closing, closing.size());
        return static_cast<std::uint32_t>(Delivered() - read);
    }
};

// The host end of the line.
struct End final : platform::ISerialDevice {
    explicit End(Wire& wire) : m_wire(wire) {}
    FUZZ_HARNESS bool Configure(const platform::SerialSettings&) override { return true; }
    FUZZ_HARNESS void Purge(bool, bool input) override { m_wire.read = input ? m_wire.Delivered() : m_wire.read; }
    FUZZ_HARNESS std::uint32_t Write(const std::uint8_t*, std::uint32_t length, std::uint32_t) override
    {
        m_wire.Send();
        return length;
    }
    FUZZ_HARNESS std::uint32_t QueuedInput() override { return m_wire.Queued(); }
    FUZZ_HARNESS std::uint32_t Read(std::uint8_t* data, std::uint32_t length, std::uint32_t) override
    {
        const std::size_t take = std::min<std::size_t>(length, m_wire.Queued());
        std::copy_n(m_wire.stream.begin() + static_cast<std::ptrdiff_t>(m_wire.read), take, data);
        m_wire.read += take;
        return static_cast<std::uint32_t>(take);
    }

    Wire& m_wire;
};

// The device end of port kPort, and the clock.
struct Line final : Wire, platform::IClock, platform::ISerialPorts {
    static constexpr int kPort = 7;

    FUZZ_HARNESS void SleepMs(std::uint32_t ms) override
    {
        now += ms;
        if (Delivered() == stream.size()) now += kIdleJumpMs;
    }
    FUZZ_HARNESS std::uint32_t TickCount() override { return static_cast<std::uint32_t>(now); }
    FUZZ_HARNESS platform::LocalTime Now() override { return {}; }
    FUZZ_HARNESS std::unique_ptr<platform::ISerialDevice> OpenPort(int number) override
    {
        return number == kPort ? std::make_unique<End>(*this) : nullptr;
    }
};

FUZZ_HARNESS std::uint8_t Code(fuzz::View payload) { return payload.empty() ? 0 : payload[0]; }

// An operation's outcome: a failure's reason is the one the protocol keeps.
bool Reported(const CPhoneProtocol& protocol, const StepResult& result)
{
    if (!result) FUZZ_CHECK(result.Reason() == protocol.LastError());
    return static_cast<bool>(result);
}

// Frames read one at a time as the pieces arrive: the reads run dry within
// as many calls as there are bytes and pieces, and frames built here and
// read at once report every written block once, opening flags or not.
FUZZ_HARNESS void ReadFrames(CPhoneProtocol& protocol, download::StreamInbox& inbox, Line& line, const Delivery& delivery,
                fuzz::View text, fuzz::View bytes)
{
    line.Send();
    const std::size_t pieces = delivery.pieceSize ? bytes.size() / delivery.pieceSize + 1 : 1;
    const std::uint64_t lastPieceDue = (pieces - 1) * delivery.gapMs;
    std::size_t acknowledged = 0;
    bool drained = false;
    for (std::size_t call = 0; call < bytes.size() + pieces + 1 && !drained; ++call) {
        const bool read = Reported(protocol, download::ReadOneFrame(protocol, inbox));
        FUZZ_CHECK(read == protocol.LastError().empty());
        FUZZ_CHECK(inbox.Acknowledged().size() <= 1);
        acknowledged += inbox.Acknowledged().size();
        drained = inbox.pendingCount == 0 && line.now >= lastPieceDue && line.read == line.stream.size();
        line.SleepMs(delivery.gapMs);
    }
    FUZZ_CHECK(drained);
    if (!delivery.framed || !delivery.Whole(bytes.size()) || bytes.size() > CPhoneProtocol::kReceiveSize) return;
    std::size_t reports = 0;
    fuzz::ForEachPayload(text, [&](fuzz::View payload) FUZZ_HARNESS {
        reports += Code(payload) == Streaming::kBlockWritten;
        return true;
    });
    FUZZ_CHECK(acknowledged == reports);
}

// The modem port's command: at most one buffer of what has settled is read,
// and judged as ExtractReplyLine judges it.
FUZZ_HARNESS void AtCommand(Line& line, fuzz::View bytes)
{
    CAtChannel at(line, line);
    FUZZ_CHECK(at.port.Open(Line::kPort, 115200, 8, 1));
    at.SetTimeout(300);
    at.SetAttempts(1);
    std::string executed;
    const bool ok = at.Execute("AT", executed);
    const std::string& read = at.ReplyText();
    FUZZ_CHECK(read.size() <= CAtChannel::kReplyReadSize && std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()).starts_with(read));
    std::string expected;
    FUZZ_CHECK(ok == (!read.empty() && CAtChannel::ExtractReplyLine(read, expected)));
    if (ok) FUZZ_CHECK(executed == expected);
}

}  // namespace

extern "C" FUZZ_HARNESS int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Line line;

    fuzz::Input input(data, size);
    const std::uint8_t request = input.Byte() % 18;
    const Delivery delivery(input.Byte());
    const fuzz::View text = input.Rest();
    static Bytes framed;
    const fuzz::View bytes = delivery.Encode(text, framed);
    if (request == 17) {
        line.Start(bytes, delivery, {});
        AtCommand(line, bytes);
        return 0;
    }
    // The readers of vendor status are ended by a status they do not wait for.
    const std::uint8_t status[] = {Streaming::kVendorStatus, request == 15 ? std::uint8_t{1} : std::uint8_t{0}, 0};
    static Bytes closing;
    closing.clear();
    if (request >= 15) fuzz::AppendFrame(status, true, closing);
    line.Start(bytes, delivery, closing);

    CPhoneProtocol protocol(line, line);
    download::StreamInbox inbox;
    FUZZ_CHECK(protocol.port.Open(Line::kPort, 115200, 8, 1));
    const std::uint8_t block[] = {0x7E, 0x7D, 0x00, 0xFF};
    bool ok = false;
    switch (request) {
    case 0: {
        std::uint32_t esn = 0;
        ok = Reported(protocol, diag::GetEsn(protocol, esn));
        const int failure = static_cast<int>(protocol.LastFailure());
        if (!ok) FUZZ_CHECK(esn == 0xFFFFFFFF && failure >= 1 && failure <= 6);
        break;
    }
    case 1: {
        diag::VersionRecord record;
        std::memset(&record, 'x', sizeof record);
        ok = Reported(protocol, diag::GetFourVersions(protocol, record));
        const auto* field = reinterpret_cast<const std::uint8_t*>(&record);
        if (!ok) FUZZ_CHECK(std::all_of(field, field + sizeof record, [](std::uint8_t byte) { return byte == 0; }));
        break;
    }
    case 2: {
        download::FlashInfo info;
        info.fill(0xA5);
        ok = Reported(protocol, download::DmssGetParams(protocol, info));
        if (!ok) FUZZ_CHECK(std::all_of(info.begin(), info.end(), [](std::uint8_t byte) { return byte == 0; }));
        break;
    }
    case 3: ok = Reported(protocol, download::DmssNop(protocol)); break;
    case 4: ok = Reported(protocol, download::DmssWrite(protocol, 0x800000, block, sizeof block)); break;
    case 5: ok = Reported(protocol, download::DmssGo(protocol, 0x0080, 0x0000)); break;
    case 6: ok = Reported(protocol, download::DmssReset(protocol)); break;
    case 7: ok = Reported(protocol, download::Hello(protocol)); break;
    case 8: ok = Reported(protocol, download::OpenMultiImage(protocol, 4, block, sizeof block)); break;
    case 9: ok = Reported(protocol, download::StreamNop(protocol)); break;
    case 10: ok = Reported(protocol, download::CloseImage(protocol)); break;
    case 11: ok = Reported(protocol, download::EnterSecurityMode(protocol)); break;
    case 12: ok = Reported(protocol, download::SendPartitionTable(protocol, block, sizeof block)); break;
    case 13:
        ok = Reported(protocol, download::StreamWrite(protocol, inbox, 0x1000, block, sizeof block));
        FUZZ_CHECK(inbox.Acknowledged().size() <= download::kAckListSize);
        break;
    case 14: ReadFrames(protocol, inbox, line, delivery, text, bytes); return 0;
    // Frames built here escape nothing but 0x7E and 0x7D, so a status code
    // read from them was sent as it is: without one, only the closing frame
    // decides.
    case 15: {
        line.Send();
        const bool ready = Reported(protocol, download::WaitReady(protocol, inbox));
        const std::uint8_t readyStatus[] = {Streaming::kVendorStatus, 0x01};
        if (delivery.framed && std::search(bytes.begin(), bytes.end(), readyStatus, std::end(readyStatus)) == bytes.end()) {
            FUZZ_CHECK(ready == line.closingSent);
        }
        return 0;
    }
    case 16: {
        line.Send();
        bool verified = true;
        FUZZ_CHECK(Reported(protocol, download::WaitVerify(protocol, inbox, verified)));
        if (delivery.framed && std::count(bytes.begin(), bytes.end(), Streaming::kVendorStatus) == 0) FUZZ_CHECK(verified == !line.closingSent);
        return 0;
    }
    }
    // A success leaves no reason; a failure always has its sentence.
    FUZZ_CHECK(protocol.LastError().empty() == ok);
    // A whole reply other than a streaming request's answer is never taken
    // for success.
    const std::uint8_t answers[] = {Streaming::kHelloReply,      Streaming::kOpenMultiImageReply, Streaming::kNopReply,
                                    Streaming::kCloseImageReply, Streaming::kSecurityModeReply,   Streaming::kPartitionTableReply};
    if (ok && request >= 7 && request <= 12 && delivery.Whole(bytes.size())) {
        const Result<Bytes> reply = UnframeReply(ProtocolMode::Streaming, bytes);
        if (reply) FUZZ_CHECK(Code(*reply) == answers[request - 7]);
    }
    return 0;
}
