#include "sim/flash_programmer.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "link/frame_codec.h"
#include "sim/modem.h"

namespace sim {
namespace {

using Request = FlashProgrammer::Request;
static_assert(std::size(FlashProgrammer::kRequestNames) == static_cast<std::size_t>(Request::Count));

struct Command {
    std::uint8_t code;
    Request request;
};

constexpr Command kCommands[] = {
    {0x01, Request::Hello}, {0x17, Request::Security}, {0x19, Request::Partition}, {0x1B, Request::Open},
    {0x07, Request::Write}, {0x15, Request::Close},     {0x09, Request::Nop},       {0x0B, Request::Reset},
    {0x28, Request::Checksum}, {0x1D, Request::Segment},
};

// Reply codes.
constexpr std::uint8_t kHelloReply = 0x02;
constexpr std::uint8_t kWritten = 0x08;
constexpr std::uint8_t kNopReply = 0x0A;
constexpr std::uint8_t kResetReply = 0x0C;
constexpr std::uint8_t kCloseReply = 0x16;
constexpr std::uint8_t kSecurityReply = 0x18;
constexpr std::uint8_t kPartitionReply = 0x1A;
constexpr std::uint8_t kOpenReply = 0x1C;
constexpr std::uint8_t kRawStatus = 0x29;

// Error reasons.
constexpr std::uint32_t kNoSpace = 2;
constexpr std::uint32_t kBadSize = 3;
constexpr std::uint32_t kShortRequest = 4;
constexpr std::uint32_t kBadRequest = 5;
constexpr std::uint32_t kNotOpen = 15;

const char kHostMagic[] = "QCOM fast download protocol host";
const char kTargetMagic[] = "QCOM fast download protocol targ";
// What follows the magic in its hello reply, byte for byte.
constexpr std::uint8_t kHelloTail[] = {0x02, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};

// A streaming write: code, 32-bit offset, data. The offset 0xFFFFFFFF
// writes nothing.
constexpr std::size_t kWriteHeader = 5;
constexpr std::uint32_t kNoOffset = 0xFFFFFFFF;
constexpr std::uint32_t kChecksumBlock = 0x20000;
constexpr std::size_t kBlockChecksumSize = 4;
constexpr std::uint32_t kMaxSegment = 0xA00000;
// Segment mode reports the written data in steps of this size.
constexpr std::uint32_t kReportStep = 0x20000;
// A closed image of this type is a new file system.
constexpr std::uint8_t kFileSystemImage = 9;
// The boot chain: the boot loaders (2, 3, 4) and the modem software (5).
constexpr std::uint8_t kBootChain[] = {2, 3, 4, 5};

Bytes Error(std::uint32_t reason)
{
    Bytes reply{FlashProgrammer::kError};
    PutLe(reply, reason, 4);
    return reply;
}

Bytes WrittenReport(std::uint32_t value)
{
    Bytes reply{kWritten};
    PutLe(reply, value, 4);
    return reply;
}

// Bytes the images hold once image `type` reaches `end`.
std::uint64_t FlashUsedAfter(const std::map<std::uint8_t, FlashImage>& images, std::uint8_t type, std::uint64_t end)
{
    std::uint64_t used = 0;
    for (const auto& [key, image] : images) used += key == type ? std::max<std::uint64_t>(image.data.size(), end) : image.data.size();
    return used;
}

}  // namespace

bool FlashProgrammer::Reply(Request request, Bytes payload)
{
    return m_device.Reply(Name(request), std::move(payload));
}

void FlashProgrammer::Start()
{
    m_openType = -1;
    m_imageBytes = 0;
}

// The device boots when every image of its boot chain is either the
// factory's (never opened since, and no partition table taken, which moves
// every partition) or one closed with its data after the last partition
// table. An image opened and never closed was cut off mid-write; one that
// got its header and no data has no contents: either breaks the chain and
// the device starts in its boot downloader. The file-system image (9) and
// the NAND programmer (10) are not in the chain: the normal software
// starts without them, the NAND programmer serves downloads only.
bool FlashProgrammer::FlashBoots() const
{
    return std::all_of(std::begin(kBootChain), std::end(kBootChain), [&](std::uint8_t type) {
        const auto image = m_images.find(type);
        if (image == m_images.end() || image->second.superseded) return !m_tableTaken;
        return image->second.closed && !image->second.data.empty();
    });
}

void FlashProgrammer::Restore(Bytes table, bool tableTaken, std::map<std::uint8_t, FlashImage> images)
{
    m_partitionTable = std::move(table);
    m_tableTaken = tableTaken;
    m_images = std::move(images);
    m_openType = -1;
}

void FlashProgrammer::HandleFrame(const Bytes& p, std::uint32_t now)
{
    const auto* command = std::find_if(std::begin(kCommands), std::end(kCommands), [&](const Command& c) { return c.code == p[0]; });
    const Request request = command == std::end(kCommands) ? Request::Unknown : command->request;
    m_device.Record(now, Name(request), p);
    switch (request) {
    case Request::Hello: {
        if (p.size() < 1 + sizeof kHostMagic - 1 || std::memcmp(p.data() + 1, kHostMagic, sizeof kHostMagic - 1) != 0) {
            Reply(request, Error(kBadRequest));
            return;
        }
        Bytes reply{kHelloReply};
        PutText(reply, kTargetMagic, sizeof kTargetMagic - 1);
        reply.insert(reply.end(), std::begin(kHelloTail), std::end(kHelloTail));
        Reply(request, reply);
        return;
    }
    case Request::Security: Reply(request, {kSecurityReply}); return;
    case Request::Partition:
        m_partitionTable.assign(p.begin() + std::min<std::size_t>(2, p.size()), p.end());
        m_tableTaken = true;
        for (auto& [type, image] : m_images) image.superseded = true;
        m_device.FlashChanged();
        Reply(request, {kPartitionReply, 0x00});
        return;
    case Request::Open: {
        const std::uint8_t type = p.size() > 1 ? p[1] : 0;
        FlashImage image;
        image.header.assign(p.begin() + std::min<std::size_t>(2, p.size()), p.end());
        m_images[type] = image;
        m_openType = type;
        m_device.FlashChanged();
        m_segmentBase = 0;
        Reply(request, {kOpenReply, 0x00});
        return;
    }
    case Request::Write: StreamWrite(p, now); return;
    case Request::Close:
        if (m_openType >= 0) {
            m_images[static_cast<std::uint8_t>(m_openType)].closed = true;
            m_device.FlashChanged();
        }
        m_openType = -1;
        Reply(request, {kCloseReply});
        return;
    case Request::Nop: Reply(request, {kNopReply, static_cast<std::uint8_t>(p.size() > 1 ? p[1] : 0)}); return;
    case Request::Reset: {
        if (!Reply(request, {kResetReply})) return;
        // A new file system starts from the factory's NV values.
        auto efs = m_images.find(kFileSystemImage);
        if (efs != m_images.end() && efs->second.closed) {
            m_device.m_nv.ResetToFactory();
            m_device.StoreChanged();
        }
        m_device.Reboot(now);
        return;
    }
    case Request::Checksum: StartChecksumMode(p, now); return;
    case Request::Segment: StartSegmentMode(p, now); return;
    default: Reply(Request::Unknown, Error(kBadRequest)); return;
    }
}

void FlashProgrammer::StreamWrite(const Bytes& p, std::uint32_t now)
{
    const std::uint32_t address = Le32(p, 1);
    if (p.size() < kWriteHeader) {
        Reply(Request::Write, Error(kShortRequest));
        return;
    }
    if (address != kNoOffset) {
        if (m_openType < 0) {
            Reply(Request::Write, Error(kNotOpen));
            return;
        }
        const std::size_t length = p.size() - kWriteHeader;
        // A write the flash cannot hold beside the other images is refused.
        const std::uint64_t end = std::uint64_t{address} + length;
        if (FlashUsedAfter(m_images, static_cast<std::uint8_t>(m_openType), end) > m_device.m_config.flashSize) {
            Reply(Request::Write, Error(kNoSpace));
            return;
        }
        StoreImageData(address, p.data() + kWriteHeader, length);
        m_imageBytes += length;
    }
    Reply(Request::Write, WrittenReport(address));
    VanishWhenDue(now);
}

void FlashProgrammer::StartChecksumMode(const Bytes& p, std::uint32_t now)
{
    const std::uint32_t size = Be32(p, 5);
    if (m_openType < 0) {
        Reply(Request::Checksum, Error(kNotOpen));
        return;
    }
    if (size == 0) {
        Reply(Request::Checksum, Error(kBadSize));
        return;
    }
    if (m_device.m_faults.neverReady) return;
    m_raw = RawState::Checksum;
    m_rawActivity = now;
    m_rawImageSize = size;
    m_rawOffset = 0;
    m_rawExpected = std::min(size, kChecksumBlock) + kBlockChecksumSize;
    m_rawBuffer.clear();
    m_blockRejections = 0;
    m_segmentBase = 0;
    SignalReady(Request::Checksum);
}

void FlashProgrammer::StartSegmentMode(const Bytes& p, std::uint32_t now)
{
    const std::uint32_t size = Be32(p, 5);
    if (m_openType < 0) {
        Reply(Request::Segment, Error(kNotOpen));
        return;
    }
    if (size == 0 || size > kMaxSegment) {
        Reply(Request::Segment, Error(kBadSize));
        return;
    }
    m_raw = RawState::Segment;
    m_rawActivity = now;
    m_rawExpected = size;
    m_rawBuffer.clear();
}

void FlashProgrammer::StoreImageData(std::uint32_t offset, const std::uint8_t* data, std::size_t length)
{
    Bytes& image = m_images[static_cast<std::uint8_t>(m_openType)].data;
    if (image.size() < offset + length) image.resize(offset + length);
    std::copy(data, data + length, image.begin() + offset);
}

bool FlashProgrammer::VanishWhenDue(std::uint32_t now)
{
    Faults& faults = m_device.m_faults;
    if (faults.vanishAfterBytes < 0 || m_imageBytes < static_cast<std::uint64_t>(faults.vanishAfterBytes)) return false;
    faults.vanishAfterBytes = -1;
    m_device.Reboot(now);
    return true;
}

bool FlashProgrammer::TakeRawData(Bytes& input, std::uint32_t now)
{
    if (m_raw == RawState::None) return false;
    // A programmer that waited in vain for the rest of its raw data drops
    // what it has and reads requests again: a host that gave up on a block
    // can still close, retry or reset.
    if (now - m_rawActivity >= kRawIdleMs) {
        m_raw = RawState::None;
        m_rawBuffer.clear();
        return false;
    }
    m_rawActivity = now;
    const std::size_t take = std::min<std::size_t>(m_rawExpected, input.size());
    m_rawBuffer.insert(m_rawBuffer.end(), input.begin(), input.begin() + take);
    input.erase(input.begin(), input.begin() + take);
    m_rawExpected -= static_cast<std::uint32_t>(take);
    m_imageBytes += take;
    if (VanishWhenDue(now) || m_rawExpected > 0) return true;
    if (m_raw == RawState::Checksum) HandleChecksumBlock(now);
    else HandleSegment(now);
    return true;
}

void FlashProgrammer::HandleChecksumBlock(std::uint32_t now)
{
    const std::size_t size = m_rawBuffer.size() - kBlockChecksumSize;
    m_device.Record(now, "rawblock", Bytes(m_rawBuffer.begin() + size, m_rawBuffer.end()));
    const std::uint32_t sent = Le32(m_rawBuffer, size);
    const bool intact = frame::BlockChecksum(m_rawBuffer.data(), size) == sent;
    if (!intact || m_blockRejections < m_device.m_faults.blockRejects) {
        ++m_blockRejections;
        m_rawExpected = static_cast<std::uint32_t>(size + kBlockChecksumSize);
        m_rawBuffer.clear();
        Reply(Request::BlockVerified, {kRawStatus, 0x00, 0x00, 0x00, 0x00});
        SignalReady(Request::Ready);
        return;
    }
    m_blockRejections = 0;
    StoreImageData(m_rawOffset, m_rawBuffer.data(), size);
    Reply(Request::BlockVerified, {kRawStatus, 0x00, 0x01, 0x00, 0x00});
    Reply(Request::Written, WrittenReport(m_rawOffset + static_cast<std::uint32_t>(size) - 1));
    m_rawOffset += static_cast<std::uint32_t>(size);
    m_rawBuffer.clear();
    if (m_rawOffset < m_rawImageSize) {
        m_rawExpected = std::min(m_rawImageSize - m_rawOffset, kChecksumBlock) + kBlockChecksumSize;
        SignalReady(Request::Ready);
    } else {
        m_raw = RawState::None;
    }
}

void FlashProgrammer::SignalReady(Request request)
{
    // A programmer that has not said it is ready takes no raw data: what the
    // host sends next (a segment command, after giving up on this mode) is
    // read as requests again.
    if (!Reply(request, {kRawStatus, 0x01, 0x00, 0x00, 0x00})) m_raw = RawState::None;
}

void FlashProgrammer::HandleSegment(std::uint32_t now)
{
    const auto size = static_cast<std::uint32_t>(m_rawBuffer.size());
    m_device.Record(now, "rawsegment", {});
    std::uint16_t crc = static_cast<std::uint16_t>(~frame::CrcUpdate(0x0000, m_rawBuffer.data(), size));
    StoreImageData(m_segmentBase, m_rawBuffer.data(), size);
    m_segmentBase += size;
    m_rawBuffer.clear();
    m_raw = RawState::None;
    if (m_device.m_faults.wrongSegmentCrc) ++crc;
    // The CRC travels in the upper half of a written report.
    Reply(Request::SegmentCrc, WrittenReport(static_cast<std::uint32_t>(crc) << 16 | 0x5A5A));
    for (std::uint32_t done = 0; done < size;) {
        done = std::min(size, done + kReportStep);
        Reply(Request::Written, WrittenReport(done - 1));
    }
}

}  // namespace sim
