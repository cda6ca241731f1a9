#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "link/phone_protocol.h"

// The flash programmer's protocol: greeting, security mode, partition table,
// images opened, streamed in blocks and closed. Besides request and reply it
// handles replies nobody waits for: block-written acknowledgements collected
// into the acknowledged-address list, and the vendor status replies of the
// high-speed transfer, read one frame at a time.
namespace download {

// Request layouts and reply parser of the `Streaming` mode. The operations
// below install it themselves; a protocol object needs no other set-up.
class Streaming final : public IModeCodec {
public:
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

    // Request record of a write: address (4 bytes), data length (4 bytes),
    // then the data, which fills the rest of the record.
    static constexpr std::size_t kWriteAddressField = 0;
    static constexpr std::size_t kWriteLengthField = 4;
    static constexpr std::size_t kWriteDataField = 8;
    static constexpr std::size_t kMaxWriteData = CPhoneProtocol::kRequestParamSize - kWriteDataField;
    // Hello's record: the host text, version, compatible version, feature bits.
    static constexpr std::size_t kHelloLength = 35;
    // Every other request keeps its one parameter byte (mode, type, ...)
    // first in the record; tables and headers travel in the bulk data.
    static constexpr std::size_t kMaxBulkData = CPhoneProtocol::kBulkSize;

    void BuildPayload(const CPhoneProtocol& protocol, std::vector<std::uint8_t>& payload) const override;
    // An error reply fails, its code kept in reply bytes 1-4; the last error
    // text stays as it was.
    bool ParseReply(CPhoneProtocol& protocol) const override;

    static const char* ErrorText(std::uint32_t code);
};

// Requests answered through Exchange.
bool Hello(CPhoneProtocol& protocol);
bool CloseImage(CPhoneProtocol& protocol);
bool StreamNop(CPhoneProtocol& protocol);
bool StreamReset(CPhoneProtocol& protocol);
bool EnterSecurityMode(CPhoneProtocol& protocol);
// At most Streaming::kMaxBulkData bytes of table.
bool SendPartitionTable(CPhoneProtocol& protocol, const std::uint8_t* table, std::uint32_t length);
// Types 4, 5 and 10 carry the header (at most Streaming::kMaxBulkData
// bytes); 1, 2, 3 and 9 send the type alone; any other type sends the bare
// request code.
bool OpenMultiImage(CPhoneProtocol& protocol, std::uint8_t type, const std::uint8_t* header, std::uint32_t length);

// Streams one block (at most Streaming::kMaxWriteData bytes) without
// insisting on its acknowledgement; see WriteAndScan.
bool StreamWrite(CPhoneProtocol& protocol, std::uint32_t address, const std::uint8_t* data, std::uint32_t length);
// Sends the request record keeping queued input, then scans whatever replies
// settle within `limitMs`. Silence is success: the acknowledgement may come
// later. Once the frame is out, the last error text reads "time is N(ms)"
// with the time waited, unless a scanned reply replaces it with its fault.
bool WriteAndScan(CPhoneProtocol& protocol, std::uint32_t limitMs);
// Parses every complete frame among the first `rxLength` received bytes,
// collecting acknowledged addresses afresh; false at the first damaged frame
// or error reply.
bool ScanFrames(CPhoneProtocol& protocol);
// One frame's bytes between its flags, still escaped.
bool ParseStreamFrame(CPhoneProtocol& protocol, const std::uint8_t* bytes, std::size_t length);
// Hands the next frame of the pending receive buffer to ScanFrames, reading
// what the port holds (without waiting) once the buffer is drained.
bool ReadOneFrame(CPhoneProtocol& protocol);

// The vendor requests of the high-speed transfer; written with both
// directions purged, no reply awaited. Form 0 announces a region by length
// and checksum, any other form announces a whole image by its size.
bool SendRegionCommand(CPhoneProtocol& protocol, std::uint32_t value, std::uint8_t form, std::uint8_t checksumLow = 0,
                       std::uint8_t checksumHigh = 0);
// Waits for the programmer's ready status; false when it never comes.
bool WaitReady(CPhoneProtocol& protocol);
// Waits for the programmer's verdict on a block and sets `verified` from it.
// Always true: without a verdict `verified` keeps the caller's preset value.
bool WaitVerify(CPhoneProtocol& protocol, bool& verified);

// The checksum the programmer expects for `length` bytes of a file from
// `offset`: the frame CRC step started from zero, complemented. The file is
// read in bounded chunks. False when the file cannot be opened or ends
// before the region does; the outputs are then untouched.
bool FileRegionChecksum(const std::filesystem::path& file, std::uint64_t offset, std::uint64_t length,
                        std::uint8_t& low, std::uint8_t& high);

}  // namespace download
