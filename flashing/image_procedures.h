#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "flashing/image_file.h"
#include "workflow/line_reporting.h"

// The small images at the start of the flash, written through the running
// flash programmer: the partition table, then the three boot-loader images,
// each streamed in 1024-byte blocks addressed by their offset in the file.
// Failures are logged on the line; the upgrade sequence decides on retries.
namespace flashing {

inline constexpr std::size_t kStreamBlockSize = 1024;
// The request's data area: a partition table or image header must fit.
inline constexpr std::size_t kHeaderLimit = 1024;

StepResult WritePartitionTable(const LineContext& ctx);
// The secondary boot loader's header and configuration data as image type 2.
StepResult WriteCfgDataImage(const LineContext& ctx);
// The secondary boot loader as image type 3.
StepResult WriteQcsblImage(const LineContext& ctx);
// The OEM boot loader as image type 4, opened with its header file.
StepResult WriteOemsblImage(const LineContext& ctx);

// Opens an image on the flash programmer, with its header when it has one;
// while the request fails it is sent again after each of the pauses.
[[nodiscard]] bool OpenImage(CPhoneProtocol& protocol, std::uint8_t type, std::span<const std::uint8_t> header,
                             std::initializer_list<std::uint32_t> retryPausesMs);

// Streams an opened image's data file through `send` in 1024-byte blocks and
// closes the image; a failed block logs the protocol's last error text, a
// failed close "ClosePacket error".
StepResult StreamImageData(const LineContext& ctx, ImageFile& file, const BlockSender& send);

// A failure of the programmer's protocol: `what`, then the protocol's reason.
StepResult ProtocolFailure(const LineContext& ctx, std::string_view what);

}  // namespace flashing
