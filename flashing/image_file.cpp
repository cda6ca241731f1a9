#include "flashing/image_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <share.h>
#endif

namespace flashing {
namespace {

bool Seek(std::FILE* file, std::uint64_t offset, int whence)
{
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
#ifdef _WIN32
    return ::_fseeki64(file, static_cast<std::int64_t>(offset), whence) == 0;
#else
    return ::fseeko(file, static_cast<off_t>(offset), whence) == 0;
#endif
}

}  // namespace

bool ImageFile::Open(const std::string& path)
{
    Close();
    m_path = path;
    m_name = std::filesystem::path(path).filename().string();
    m_checked = nullptr;
    m_changed = false;
    m_problem = "cannot open " + path;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return false;
#ifdef _WIN32
    m_file = ::_fsopen(path.c_str(), "rb", _SH_DENYWR);
#else
    m_file = std::fopen(path.c_str(), "rb");
#endif
    if (!m_file) return false;
    // Every read goes to the file: a buffer could hand out bytes of a file
    // that was cut short since.
    std::setvbuf(m_file, nullptr, _IONBF, 0);
#ifdef _WIN32
    const std::int64_t end = Seek(m_file, 0, SEEK_END) ? ::_ftelli64(m_file) : -1;
#else
    const std::int64_t end = Seek(m_file, 0, SEEK_END) ? ::ftello(m_file) : -1;
#endif
    if (end < 0) {
        Close();
        return false;
    }
    m_length = static_cast<std::uint64_t>(end);
    m_problem.clear();
    return true;
}

bool ImageFile::Open(const std::string& path, const CheckedImages& checked)
{
    const bool opened = Open(path);
    if (checked.empty()) return opened;
    const auto found = checked.find(path);
    if (found == checked.end()) return opened && Refuse("it was not there");
    if (!opened) return Refuse("it cannot be opened");
    if (m_length != found->second.length) {
        return Refuse("it holds " + std::to_string(m_length) + " bytes, not " + std::to_string(found->second.length));
    }
    m_checked = &found->second;
    for (std::uint64_t index = 0; index < m_checked->pieces.size(); ++index) {
        if (!LoadPiece(index)) {
            Close();
            return false;
        }
    }
    return true;
}

bool ImageFile::Refuse(const std::string& change)
{
    Close();
    m_changed = true;
    m_problem = m_name + " changed after it was checked: " + change;
    return false;
}

void ImageFile::Close()
{
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
    m_length = 0;
    m_loadedPiece.reset();
}

std::size_t ImageFile::ReadRaw(std::uint64_t offset, std::uint8_t* data, std::size_t length)
{
    if (!m_file || !Seek(m_file, offset, SEEK_SET)) return 0;
    return std::fread(data, 1, length, m_file);
}

bool ImageFile::LoadPiece(std::uint64_t index)
{
    if (m_loadedPiece == index) return true;
    m_loadedPiece.reset();
    const std::uint64_t start = index * CheckedImage::kPieceSize;
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(CheckedImage::kPieceSize, m_length - start));
    m_piece.resize(size);
    if (ReadRaw(start, m_piece.data(), size) != size ||
        md5::Compute(m_piece.data(), size) != m_checked->pieces[static_cast<std::size_t>(index)]) {
        m_changed = true;
        m_problem = m_name + " changed after it was checked: its bytes from offset " + std::to_string(start) + " differ";
        return false;
    }
    m_loadedPiece = index;
    return true;
}

std::size_t ImageFile::Read(std::uint64_t offset, std::uint8_t* data, std::size_t length)
{
    if (!m_checked) return ReadRaw(offset, data, length);
    // Bytes go out only from a whole piece that still matches the check.
    std::size_t done = 0;
    while (done < length && offset + done < m_length) {
        const std::uint64_t at = offset + done;
        const std::uint64_t index = at / CheckedImage::kPieceSize;
        if (!LoadPiece(index)) break;
        const auto skip = static_cast<std::size_t>(at - index * CheckedImage::kPieceSize);
        const std::size_t take = std::min(m_piece.size() - skip, length - done);
        std::memcpy(data + done, m_piece.data() + skip, take);
        done += take;
    }
    return done;
}

bool ImageFile::ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t length)
{
    if (Read(offset, data, length) == length) return true;
    if (!m_changed) m_problem = "cannot read " + m_path;
    return false;
}

BlockRun ImageFile::SendBlocks(std::size_t blockSize, const BlockSender& send)
{
    std::vector<std::uint8_t> block(blockSize);
    std::uint64_t sent = 0;
    bool last = false;
    while (!last) {
        const std::uint64_t left = m_length - sent;
        last = left <= blockSize;
        const auto length = static_cast<std::uint32_t>(last ? left : blockSize);
        if (!ReadAt(sent, block.data(), length)) return BlockRun::ReadFailed;
        if (!send(static_cast<std::uint32_t>(sent), block.data(), length)) return BlockRun::SendFailed;
        sent += length;
    }
    return BlockRun::Sent;
}

BlockSender ReportedBlocks(const LineContext& ctx, const ImageFile& file, BlockSender send)
{
    return [&ctx, &file, send = std::move(send)](std::uint32_t offset, const std::uint8_t* data,
                                                 std::uint32_t length) -> StepResult {
        if (StepResult sent = send(offset, data, length); !sent) return sent;
        ctx.Transfer(file.Name(), std::uint64_t{offset} + length, file.Length());
        return {};
    };
}

}  // namespace flashing
