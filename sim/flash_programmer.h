#pragma once

#include <cstdint>
#include <map>

#include "sim/wire_fields.h"

namespace sim {

class SimModem;

// An image as it reached the NAND flash.
struct FlashImage {
    Bytes header;
    Bytes data;
    bool closed = false;
    // Written before the partition table last taken: the new layout does
    // not hold it.
    bool superseded = false;
    bool operator==(const FlashImage&) const = default;
};

// The flash programmer the boot downloader starts: it writes images into
// the NAND flash from streaming writes, or from raw data in checksum mode
// (blocks, each with its checksum) or segment mode (whole segments answered
// with their CRC).
class FlashProgrammer {
public:
    // Every name its replies go by: its requests, as it records them, then
    // its answers to raw data.
    enum class Request {
        Hello, Security, Partition, Open, Write, Close, Nop, Reset, Checksum, Segment, Unknown,
        BlockVerified, Ready, Written, SegmentCrc, Count
    };
    static constexpr const char* kRequestNames[] = {
        "hello", "security", "partition", "open", "swrite", "close", "snop", "sreset", "checksum", "segment", "unknown",
        "verify", "ready", "written", "segmentcrc"};
    // The reply code of an error, followed by a 32-bit reason.
    static constexpr std::uint8_t kError = 0x0D;
    // How long it waits for raw data before it reads requests again.
    static constexpr std::uint32_t kRawIdleMs = 1000;

    explicit FlashProgrammer(SimModem& device) : m_device(device) {}

    // The boot downloader has just started it.
    void Start();
    void HandleFrame(const Bytes& p, std::uint32_t now);
    // Takes raw data from `input` while a checksum or segment transfer waits
    // for it; false when requests are due instead.
    bool TakeRawData(Bytes& input, std::uint32_t now);
    // The device left the bus: no transfer goes on.
    void StopRaw() { m_raw = RawState::None; }

    const std::map<std::uint8_t, FlashImage>& Images() const { return m_images; }
    const Bytes& PartitionTable() const { return m_partitionTable; }
    bool TableTaken() const { return m_tableTaken; }
    // Whether the device can start its normal software from this flash.
    bool FlashBoots() const;
    // The flash as a kept state held it.
    void Restore(Bytes table, bool tableTaken, std::map<std::uint8_t, FlashImage> images);

private:
    static const char* Name(Request request) { return kRequestNames[static_cast<std::size_t>(request)]; }
    bool Reply(Request request, Bytes payload);
    void StreamWrite(const Bytes& p, std::uint32_t now);
    void StartChecksumMode(const Bytes& p, std::uint32_t now);
    void StartSegmentMode(const Bytes& p, std::uint32_t now);
    void HandleChecksumBlock(std::uint32_t now);
    void HandleSegment(std::uint32_t now);
    void SignalReady(Request request);
    void StoreImageData(std::uint32_t offset, const std::uint8_t* data, std::size_t length);
    // Leaves the bus once the image data reached the amount a fault names.
    bool VanishWhenDue(std::uint32_t now);

    SimModem& m_device;
    Bytes m_partitionTable;
    bool m_tableTaken = false;
    std::map<std::uint8_t, FlashImage> m_images;
    int m_openType = -1;
    enum class RawState { None, Checksum, Segment } m_raw = RawState::None;
    std::uint32_t m_rawImageSize = 0;    // checksum mode: the announced image size
    std::uint32_t m_rawOffset = 0;       // checksum mode: offset of the expected block
    std::uint32_t m_rawExpected = 0;     // bytes the current raw transfer still needs
    std::uint32_t m_rawActivity = 0;     // tick of the last raw data, or of the wait's start
    std::uint32_t m_segmentBase = 0;     // segment mode: image offset of the segment
    int m_blockRejections = 0;
    Bytes m_rawBuffer;
    std::uint64_t m_imageBytes = 0;      // image data received since the programmer started
};

}  // namespace sim
