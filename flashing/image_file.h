#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "workflow/line_record.h"
#include "workflow/line_reporting.h"

namespace flashing {

// How a file went out block by block.
enum class BlockRun { Sent, ReadFailed, SendFailed };

// Sends one block: its offset in the file, its bytes.
using BlockSender = std::function<StepResult(std::uint32_t offset, const std::uint8_t* data, std::uint32_t length)>;

// An image file read at chosen offsets, in 64-bit positions. On Windows it
// is opened for shared reading only: nothing can write to it while it is
// checked or sent. Opened against a line's check it is read in whole
// pieces, each compared with the check's digest, so that only bytes the
// check read ever leave it.
class ImageFile {
public:
    ImageFile() = default;
    ~ImageFile() { Close(); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // False for a folder or a file that cannot be opened or measured.
    [[nodiscard]] bool Open(const std::string& path);
    // As Open, and with `checked` (a line's checked images, empty when no
    // check ran) also false, with Changed(), when the file was not there at
    // the check or its length or any of its bytes differ from what it read.
    [[nodiscard]] bool Open(const std::string& path, const CheckedImages& checked);
    void Close();
    std::uint64_t Length() const { return m_length; }
    // The file's name without its folder.
    const std::string& Name() const { return m_name; }
    // Reads up to `length` bytes from `offset`; returns the count read.
    std::size_t Read(std::uint64_t offset, std::uint8_t* data, std::size_t length);
    // Exactly `length` bytes from `offset`, or false.
    bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t length);
    // Why the file did not open or a read came up short.
    const std::string& Problem() const { return m_problem; }
    // Whether that was because the file is no longer what the check read.
    bool Changed() const { return m_changed; }
    // Hands the file to `send` in blocks of `blockSize` bytes, in order, each
    // with its offset; an empty file is one empty block. Stops at the first
    // block that cannot be read in full or that `send` refuses.
    BlockRun SendBlocks(std::size_t blockSize, const BlockSender& send);

private:
    std::size_t ReadRaw(std::uint64_t offset, std::uint8_t* data, std::size_t length);
    // Reads piece `index` into m_piece; false when it no longer matches.
    bool LoadPiece(std::uint64_t index);
    bool Refuse(const std::string& change);

    std::FILE* m_file = nullptr;
    std::uint64_t m_length = 0;
    std::string m_path;
    std::string m_name;
    const CheckedImage* m_checked = nullptr;
    std::vector<std::uint8_t> m_piece;
    std::optional<std::uint64_t> m_loadedPiece;
    std::string m_problem;
    bool m_changed = false;
};

// `send`, with each block it took reported as the transfer of `file`.
BlockSender ReportedBlocks(const LineContext& ctx, const ImageFile& file, BlockSender send);

}  // namespace flashing
