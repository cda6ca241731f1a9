#include "flashing/pre_run_check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "diag/diag_commands.h"
#include "flashing/box_title.h"
#include "flashing/image_file.h"
#include "flashing/paths.h"
#include "link/sentence.h"
#include "payload/manifest.h"
#include "platform/payload_store.h"

namespace flashing {
namespace {

// Reads an opened file whole into what the check keeps of it. False when a
// piece cannot be read or, where the program carries the file (of the same
// length), differs from its payload.
bool RecordImage(ImageFile& file, std::optional<std::span<const std::uint8_t>> carried, CheckedImage& image)
{
    std::array<std::uint8_t, CheckedImage::kPieceSize> piece;
    image.length = file.Length();
    for (std::uint64_t start = 0; start < image.length; start += piece.size()) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), image.length - start));
        if (!file.ReadAt(start, piece.data(), size)) return false;
        if (carried && std::memcmp(piece.data(), carried->data() + start, size) != 0) return false;
        image.pieces.push_back(md5::Compute(piece.data(), size));
    }
    return true;
}

}  // namespace

bool CheckImageFolder(const LineContext& ctx, bool deviceRequired)
{
    ctx.line.checkedImages.clear();
    const std::string number = std::to_string(ctx.index + 1);
    const std::string folder = ctx.line.record.imageFolder.Get();
    if (folder.empty()) {
        ShowPlainBox(ctx.line.Backends().messageBoxes, Sentence("Line%d : You didn't load the firmware", {number}));
        return false;
    }
    if (deviceRequired && ctx.line.state.load() != LineState::PhoneFound) return false;
    CheckedImages seen;
    for (const payload::Payload& checked : payload::kCheckedPayloads) {
        const auto carried = ctx.line.Backends().payloads.Find(checked.id);
        const std::string path = JoinPath(folder, checked.fileName);
        ImageFile file;
        CheckedImage image;
        // A file the program does not carry may be missing; what is there
        // is kept all the same, so that nothing else can take its place.
        if (checked.check == payload::Check::WhenCarried && (!carried || carried->empty())) {
            if (file.Open(path) && RecordImage(file, std::nullopt, image)) seen.emplace(path, std::move(image));
            continue;
        }
        if (!file.Open(path)) {
            ShowPlainBox(ctx.line.Backends().messageBoxes, Sentence("Line%d: can't open %s!", {number, checked.fileName}));
            return false;
        }
        // A file cut short on a full disk is as wrong as an empty one, and
        // one changed since it was extracted as one never extracted.
        if (file.Length() < 2 || (carried && file.Length() != carried->size()) || !RecordImage(file, carried, image)) {
            ShowPlainBox(ctx.line.Backends().messageBoxes, Sentence("Line%d: Open wrong %s! ", {number, checked.fileName}));
            return false;
        }
        seen.emplace(path, std::move(image));
    }
    ctx.line.checkedImages = std::move(seen);
    return true;
}

StepResult VerifyImage(const LineContext& ctx, const std::string& path)
{
    ImageFile file;
    if (ctx.line.checkedImages.empty() || file.Open(path, ctx.line.checkedImages) || !file.Changed()) return {};
    return StepResult::Failed(file.Problem());
}

}  // namespace flashing
