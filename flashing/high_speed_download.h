#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "workflow/line_reporting.h"

// The two large images (modem software and file system) go to the flash
// programmer as raw, unframed data after the image has been opened: first in
// the checksum mode (128 KiB blocks, each with an additive checksum and a
// verdict), and when the programmer does not take part in it, in the segment
// mode (up to 10 MiB per segment, confirmed by a CRC and written reports).
// Images are read from their files block by block; none is held whole.
namespace flashing {

inline constexpr std::uint32_t kChecksumBlockSize = 0x20000;
inline constexpr std::uint32_t kMaxSegmentSize = 0xA00000;
inline constexpr std::uint32_t kSegmentChunkSize = 0x21000;
// The programmer reports one written address per this many segment bytes.
inline constexpr std::uint32_t kSegmentReportStep = 0x20000;

// How a transfer mode ended: done, or failed with the reason. A checksum
// mode the programmer cannot be told of, or never gets ready for, is not
// available: the segment mode may follow.
struct [[nodiscard]] TransferResult {
    TransferResult(StepResult ended = {}) : result(std::move(ended)) {}
    static TransferResult Unavailable(std::string reason)
    {
        TransferResult unavailable(StepResult::Failed(std::move(reason)));
        unavailable.modeUnavailable = true;
        return unavailable;
    }
    explicit operator bool() const { return static_cast<bool>(result); }
    const std::string& Reason() const { return result.Reason(); }

    StepResult result;
    bool modeUnavailable = false;
};

// Opens the modem software image with its header file and sends it (progress
// 26 to 50), falling back to the segment mode when the checksum mode is not
// available. Failures are logged on the line.
StepResult WriteAmssImage(LineContext& context);
// The same for the file-system image, opened without a header (51 to 80).
StepResult WriteCefsImage(LineContext& context);

// Sends an already opened image in 128 KiB checksum blocks: done when every
// block was verified and the image closed. `label` is not used by this mode.
TransferResult WriteImageChecksumMode(LineContext& context, const std::string& imagePath, int first, int last,
                                      std::string_view label);
// Sends an already opened image from its first byte in segments.
TransferResult WriteImageSegmentMode(LineContext& context, const std::string& imagePath, int first, int last,
                                     std::string_view label);

// Checksum-mode blocks of an image: its length in 128 KiB blocks, rounded up.
std::uint32_t ChecksumBlockCount(std::uint64_t imageLength);
// The progress shown once block `block` of `blocks` (at least 1) is
// verified; it stays below `last`, which only the closed image shows, unless
// the range is empty.
int ChecksumBlockProgress(int first, int last, std::uint32_t block, std::uint32_t blocks);

// Segment sizes of an image, in sending order.
std::vector<std::uint32_t> SegmentSizes(std::uint64_t imageLength);
// Where the bar stands once a segment's data is out: 70 % of the range.
int SegmentMiddle(int first, int last);
// Raw chunks sent per progress step up to the middle, and written reports
// per step from the middle to the end; at least 1, also for a range too
// narrow to move in.
std::uint32_t ChunksPerStep(std::uint32_t segmentSize, int first, int middle);
std::uint32_t ReportsPerStep(std::uint32_t segmentSize, int middle, int last);

}  // namespace flashing
