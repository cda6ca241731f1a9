#include "flashing/check_block.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "flashing/image_file.h"

namespace flashing {
namespace {

// Large enough that a 16 MB image takes a few hundred reads; a multiple of
// the 4-byte scan step.
constexpr std::size_t kScanChunk = 64 * 1024;

}  // namespace

bool ReadCheckBlock(const LineContext& ctx, std::span<std::uint8_t, diag::kCheckBlockSize> block)
{
    ImageFile file;
    if (!file.Open(ctx.line.record.amssPath.Get())) {
        ctx.Log("open file fail");
        return false;
    }
    ctx.Log("Downloading...");

    // Words are looked at from offset 0 in steps of 4 while a whole word is
    // left in the file.
    const std::uint64_t length = file.Length();
    std::vector<std::uint8_t> chunk(kScanChunk);
    std::optional<std::uint64_t> found;
    for (std::uint64_t base = 0; !found && base + 4 <= length; base += kScanChunk) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kScanChunk, length - base));
        const std::size_t got = file.Read(base, chunk.data(), wanted);
        for (std::size_t at = 0; at + 4 <= got && !found; at += 4) {
            if (std::memcmp(chunk.data() + at, kCheckBlockMagic, 4) == 0) found = base + at;
        }
        if (got < wanted) break;
    }
    // Without a block the caller's buffer stays as it was.
    if (!found) return false;
    file.Read(*found, block.data(), block.size());
    return true;
}

}  // namespace flashing
