#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/phone_protocol.h"

// The flash programmer's protocol: greeting, security mode, partition table,
// images opened, streamed in blocks and closed. Besides request and reply it
// handles replies nobody waits for: block-written acknowledgements collected
// into the acknowledged-address list, and the vendor status replies of the
// high-speed transfer, read one frame at a time.
namespace download {

// The commands of the `Streaming` mode, its request builders and reply
// parsers.
struct Streaming {
    static constexpr std::uint8_t kHello = 0x01;
    static constexpr std::uint8_t kWrite = 0x07;
    static constexpr std::uint8_t kBlockWritten = 0x08;
    static constexpr std::uint8_t kNop = 0x09;
    static constexpr std::uint8_t kReset = 0x0B;
    static constexpr std::uint8_t kError = 0x0D;
    static constexpr std::uint8_t kCloseImage = 0x15;
    static constexpr std::uint8_t kSecurityMode = 0x17;
    static constexpr std::uint8_t kPartitionTable = 0x19;
    static constexpr std::uint8_t kOpenMultiImage = 0x1B;
    static constexpr std::uint8_t kRegionChecksum = 0x1D;
    static constexpr std::uint8_t kImageSize = 0x28;
    static constexpr std::uint8_t kVendorStatus = 0x29;
    // The programmer's answer to each request above.
    static constexpr std::uint8_t kHelloReply = 0x02;
    static constexpr std::uint8_t kNopReply = 0x0A;
    static constexpr std::uint8_t kResetReply = 0x0C;
    static constexpr std::uint8_t kCloseImageReply = 0x16;
    static constexpr std::uint8_t kSecurityModeReply = 0x18;
    static constexpr std::uint8_t kPartitionTableReply = 0x1A;
    static constexpr std::uint8_t kOpenMultiImageReply = 0x1C;
    // The boot downloader's refusal: the code no programmer sends, seen when
    // a request meant for the programmer reaches the downloader instead.
    static constexpr std::uint8_t kDownloaderRefusal = 0x03;

    // The most data one write request carries.
    static constexpr std::size_t kMaxWriteData = 1031;
    // The largest partition table or image header.
    static constexpr std::size_t kMaxBulkData = 1024;

    // Request builders; each appends the payload to `out`. The sizes are the
    // caller's to keep within the limits above.
    static void BuildHello(Bytes& out);
    // The requests that are their command code alone (kReset, kCloseImage).
    static void BuildCommand(Bytes& out, std::uint8_t command);
    static void BuildNop(Bytes& out);
    static void BuildSecurityMode(Bytes& out);
    static void BuildPartitionTable(Bytes& out, std::span<const std::uint8_t> table);
    // Types 4, 5 and 10 carry the header; 1, 2, 3 and 9 the type alone; any
    // other type sends the bare request code.
    static void BuildOpenMultiImage(Bytes& out, std::uint8_t type, std::span<const std::uint8_t> header);
    static void BuildWrite(Bytes& out, std::uint32_t address, std::span<const std::uint8_t> data);
    // Form 0 announces a region by length and checksum, any other form a
    // whole image by its size.
    static void BuildRegionCommand(Bytes& out, std::uint32_t value, std::uint8_t form, std::uint8_t checksumLow,
                                   std::uint8_t checksumHigh);

    // An error reply fails its attempt with the text of its code.
    static StepResult Refusal(std::span<const std::uint8_t> reply);
    // As Refusal, and any reply but `answer` fails its attempt too: a
    // request is done only when the programmer answered it as its own.
    static StepResult RefusalUnless(std::span<const std::uint8_t> reply, std::uint8_t answer);
    static const char* ErrorText(std::uint32_t code);
};

// The most acknowledged block addresses one scan keeps.
inline constexpr std::size_t kAckListSize = 64;

// The streaming replies nobody waits for, kept on one line between requests.
// What the line did meanwhile applies when the inbox is next used: bytes
// read but not yet scanned are wiped once another operation begins (the
// frame reader drains them as noise), and the reply to a later request
// supersedes a vendor status nobody took.
struct StreamInbox {
    // Bytes read from the port but not yet handed to the frame scanner.
    std::array<std::uint8_t, CPhoneProtocol::kReceiveSize> pending{};
    std::uint32_t pendingCount = 0;
    std::uint32_t pendingPosition = 0;
    // Block addresses acknowledged in the last scan, oldest first.
    std::vector<std::uint32_t> acknowledged;
    // The last vendor status frame: its code and four bytes; code 0 once it
    // has been taken or superseded.
    std::array<std::uint8_t, 5> status{};

    std::span<const std::uint32_t> Acknowledged() const { return acknowledged; }
    // Applies what `protocol` did since the inbox was last used.
    void CatchUp(const CPhoneProtocol& protocol);

private:
    std::uint64_t m_operationsSeen = 0;
    std::uint64_t m_repliesSeen = 0;
};

// One unsolicited frame: its code and the four bytes behind it (zero where
// the frame is shorter), the u32 they hold little-endian.
struct StreamFrame {
    std::array<std::uint8_t, 5> head{};
    std::uint32_t value = 0;

    std::uint8_t Code() const { return head[0]; }
};

// What a scan of received bytes found, up to its first damaged frame or
// error reply (`result` failed, with the reason).
struct ScanResult {
    StepResult result;
    // Block addresses reported written, the newest kept when there are more
    // than kAckListSize.
    std::vector<std::uint32_t> acknowledged;
    // The last vendor status frame.
    std::optional<std::array<std::uint8_t, 5>> status;
};

// One frame's bytes between its flags, still escaped: the frame, or why it
// is damaged or an error reply.
Result<StreamFrame> ParseStreamFrame(std::span<const std::uint8_t> bytes);
// Parses every complete frame among the bytes; bytes that do not open with a
// flag are taken as a frame already open.
ScanResult ScanFrames(std::span<const std::uint8_t> bytes);

// Requests answered through Exchange.
StepResult Hello(CPhoneProtocol& protocol);
// Whether a flash programmer answers a greeting within `timeoutMs`, asked
// once.
[[nodiscard]] bool ProgrammerAnswers(CPhoneProtocol& protocol, std::uint32_t timeoutMs);
StepResult CloseImage(CPhoneProtocol& protocol);
StepResult StreamNop(CPhoneProtocol& protocol);
// Each failed attempt is logged to the protocol's failure log.
StepResult StreamReset(CPhoneProtocol& protocol);
StepResult EnterSecurityMode(CPhoneProtocol& protocol);
// At most Streaming::kMaxBulkData bytes of table.
StepResult SendPartitionTable(CPhoneProtocol& protocol, const std::uint8_t* table, std::uint32_t length);
// At most Streaming::kMaxBulkData bytes of header, sent for the types that
// carry one.
StepResult OpenMultiImage(CPhoneProtocol& protocol, std::uint8_t type, const std::uint8_t* header,
                          std::uint32_t length);

// Streams one block (at most Streaming::kMaxWriteData bytes) without
// insisting on its acknowledgement; see WriteAndScan.
StepResult StreamWrite(CPhoneProtocol& protocol, StreamInbox& inbox, std::uint32_t address,
                       const std::uint8_t* data, std::uint32_t length);
// Sends the streaming request `payload` keeping queued input, then scans
// whatever replies settle within `limitMs`. Silence is success: the
// acknowledgement may come later.
StepResult WriteAndScan(CPhoneProtocol& protocol, StreamInbox& inbox, std::span<const std::uint8_t> payload,
                        std::uint32_t limitMs);
// Scans the next frame of the pending receive buffer, reading what the port
// holds (without waiting) once the buffer is drained. The acknowledged
// addresses are then the ones this frame reported.
StepResult ReadOneFrame(CPhoneProtocol& protocol, StreamInbox& inbox);

// The vendor requests of the high-speed transfer; written with both
// directions purged, no reply awaited.
StepResult SendRegionCommand(CPhoneProtocol& protocol, std::uint32_t value, std::uint8_t form,
                             std::uint8_t checksumLow = 0, std::uint8_t checksumHigh = 0);
// Waits for the programmer's ready status; fails when it never comes.
StepResult WaitReady(CPhoneProtocol& protocol, StreamInbox& inbox);
// Waits for the programmer's verdict on a block and sets `verified` from it.
// Always done: without a verdict `verified` keeps the caller's preset value.
StepResult WaitVerify(CPhoneProtocol& protocol, StreamInbox& inbox, bool& verified);

// Reads exactly `length` bytes from `offset` of an image into `data`, or
// fails.
using RegionReader = std::function<bool(std::uint64_t offset, std::uint8_t* data, std::size_t length)>;

// The checksum the programmer expects for `length` bytes of an image from
// `offset`: the frame CRC step started from zero, complemented. The bytes
// are read through `read` in bounded chunks. False when a read fails; the
// outputs are then untouched.
[[nodiscard]] bool RegionChecksum(const RegionReader& read, std::uint64_t offset, std::uint64_t length, std::uint8_t& low,
                                  std::uint8_t& high);

}  // namespace download
