#include "flashing/image_set.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/backends.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/payload_store.h"
#include "payload/manifest.h"

#ifdef _WIN32
#include <share.h>
#else
#include <sys/stat.h>
#endif

namespace flashing {
namespace {

#ifdef _WIN32
constexpr const char* kProgramFiles = "C:\\Program Files";
constexpr const char* kServiceFolder = "C:\\Program Files\\Windows Service";
constexpr const char* kDefaultWorkingFolder = "C:\\Program Files\\Windows Service\\LR520Snewversion";
constexpr std::size_t kRootLength = 3;
bool IsRoot(const std::string& path) { return path.size() == 3 && path[1] == ':' && path[2] == '\\'; }
#else
constexpr std::size_t kRootLength = 1;
bool IsRoot(const std::string& path) { return path == "/"; }
#endif

constexpr std::uint32_t kReplugUnloadPauseMs = 500;
// Large enough that a 16 MB image takes a few hundred reads; a multiple of
// the 4-byte scan step.
constexpr std::size_t kScanChunk = 64 * 1024;

// The files a line needs before it may start, in the order they are checked,
// with the payload each was extracted from. The first seven must be there
// in any case; the others are checked when the program carries them.
struct CheckedFile {
    const char* name;
    int payload;
    bool required;
};
constexpr CheckedFile kCheckedFiles[] = {
    {kPartitionFile, payload::kPartitionTable, true},
    {kCfgDataFile, payload::kQcsblCfgData, true},
    {kQcsblFile, payload::kQcsbl, true},
    {kOemsblHeaderFile, payload::kOemsblHeader, true},
    {kOemsblFile, payload::kOemsbl, true},
    {kAmssHeaderFile, payload::kAmssHeader, true},
    {kAmssFile, payload::kAmss, true},
    {kEfsFile, payload::kEfs, false},
    {kRamProgrammerFile, payload::kRamProgrammer, false},
    {kNandHeaderFile, payload::kNandProgrammerHeader, false},
    {kNandImageFile, payload::kNandProgrammer, false},
};

constexpr const char* kEndOfRunFiles[] = {
    kAmssFile,       kRamProgrammerFile, kPartitionFile, kCfgDataFile,    kQcsblFile,     kOemsblHeaderFile,
    kOemsblFile,     kAmssHeaderFile,    kEfsFile,       kSetModeFile,    kSetupFile,     kNandHeaderFile,
    kNandImageFile,
};

constexpr const char* kFormDestroyedFiles[] = {
    kAmssFile,       kRamProgrammerFile, kPartitionFile, kCfgDataFile, kQcsblFile,         kOemsblHeaderFile, kOemsblFile,
    kAmssHeaderFile, kEfsFile,           kSetModeFile,   kSetupFile,   kReplugLibraryFile, kNandHeaderFile,   kNandImageFile,
};

std::mutex g_folderMutex;
std::optional<std::string> g_folderOverride;
std::atomic<IReplugControl*> g_replug{nullptr};

std::string DefaultWorkingFolder()
{
#ifdef _WIN32
    return kDefaultWorkingFolder;
#else
    return platform::StateDirectory() + "/firmware";
#endif
}

void ShowBox(const std::string& text)
{
    platform::MessageBoxes().Show(text, kBoxTitle, platform::BoxButtons::Ok, platform::BoxIcon::None);
}

void RemoveIfPresent(const std::string& path)
{
    std::error_code ignored;
    if (PathExists(path)) std::filesystem::remove(path, ignored);
}

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

std::string WorkingFolder()
{
    std::lock_guard lock(g_folderMutex);
    return g_folderOverride ? *g_folderOverride : DefaultWorkingFolder();
}

ScopedWorkingFolder::ScopedWorkingFolder(std::string folder)
{
    std::lock_guard lock(g_folderMutex);
    m_previous = std::exchange(g_folderOverride, std::move(folder));
}

ScopedWorkingFolder::~ScopedWorkingFolder()
{
    std::lock_guard lock(g_folderMutex);
    g_folderOverride = std::move(m_previous);
}

std::string JoinPath(const std::string& folder, std::string_view name)
{
    std::string path = folder;
    path += kPathSeparator;
    path += name;
    return path;
}

bool PathExists(const std::string& path)
{
    std::string name = path;
    if (!name.empty() && name.back() == kPathSeparator && name.size() != kRootLength) name.pop_back();
    if (IsRoot(name)) return true;
    // Only a root may end with a separator ("ab\" names nothing).
    if (!name.empty() && name.back() == kPathSeparator) return false;
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(name, ec));
}

bool EnsureFolder(const std::string& path)
{
    std::error_code ec;
    // A file of that name is in the way, not a folder to extract into.
    if (PathExists(path)) return std::filesystem::is_directory(path, ec);
#ifdef _WIN32
    return std::filesystem::create_directory(path, ec);
#else
    return ::mkdir(path.c_str(), 0700) == 0;
#endif
}

bool PrepareWorkingFolder()
{
#ifdef _WIN32
    return EnsureFolder(kProgramFiles) && EnsureFolder(kServiceFolder) && EnsureFolder(WorkingFolder());
#else
    const std::string folder = WorkingFolder();
    return platform::EnsureDirectory(std::filesystem::path(folder).parent_path().string()) && EnsureFolder(folder);
#endif
}

#ifndef _WIN32
bool CheckWorkingFolder(std::string& error)
{
    return platform::CheckStateDirectory(error) && platform::CheckWritableFolder(WorkingFolder(), error);
}
#endif

bool ExtractPayload(int id, std::string_view name)
{
    const std::string path = JoinPath(WorkingFolder(), name);
    const auto payload = platform::PayloadStore().Find(id);
    int cause = 0;
    // A new file each time: whatever is at the name, a link to a file of
    // the user's included, is replaced and never written into.
    const bool written =
        platform::ReplaceFile(path, path + ".new", payload.value_or(std::span<const std::uint8_t>()), false, cause);
    // An older file left at the name would be taken for this one; a folder
    // there is the user's.
    std::error_code ignored;
    if (!written && !std::filesystem::is_directory(std::filesystem::symlink_status(path, ignored))) {
        std::filesystem::remove(path, ignored);
    }
    const bool quiet = name == kNandHeaderFile || name == kNandImageFile;
    if (!written && !quiet) ShowBox("read " + std::string(name) + " fail!");
    return written;
}

bool ExtractWorkingFiles()
{
    bool all = true;
    for (const payload::Payload& entry : payload::kPayloads) {
        const bool written = ExtractPayload(entry.id, entry.fileName);
        // Only the firmware decides whether a run may be offered: without
        // the re-plug library the program goes on, as when it cannot load.
        if (entry.source == payload::Source::Firmware) all = written && all;
    }
    return all;
}

bool FillImagePaths(DownloadLine& line, const std::string& folder)
{
    LineRecord record = line.record;
    const bool fits = record.imageFolder.Set(folder) && record.partitionPath.Set(JoinPath(folder, kPartitionFile)) &&
                      record.cfgDataPath.Set(JoinPath(folder, kCfgDataFile)) &&
                      record.qcsblPath.Set(JoinPath(folder, kQcsblFile)) &&
                      record.oemsblHeaderPath.Set(JoinPath(folder, kOemsblHeaderFile)) &&
                      record.oemsblPath.Set(JoinPath(folder, kOemsblFile)) &&
                      record.amssHeaderPath.Set(JoinPath(folder, kAmssHeaderFile)) &&
                      record.amssPath.Set(JoinPath(folder, kAmssFile)) &&
                      record.efsPath.Set(JoinPath(folder, kEfsFile)) &&
                      record.ramProgrammerPath.Set(JoinPath(folder, kRamProgrammerFile)) &&
                      record.nandHeaderPath.Set(JoinPath(folder, kNandHeaderFile)) &&
                      record.nandImagePath.Set(JoinPath(folder, kNandImageFile)) && record.nvFolder.Set(folder) &&
                      record.nvBackupPath.Set(JoinPath(folder, kNvBackupFile));
    if (fits) line.record = record;
    return fits;
}

bool CheckImageFolder(const LineContext& ctx, bool deviceRequired)
{
    ctx.line.checkedImages.clear();
    const std::string number = std::to_string(ctx.index + 1);
    const std::string folder = ctx.line.record.imageFolder.Get();
    if (folder.empty()) {
        ShowBox(diag::FillIn("Line%d : You didn't load the firmware", {number}));
        return false;
    }
    if (deviceRequired && ctx.line.state.load() != LineState::PhoneFound) return false;
    CheckedImages seen;
    for (const CheckedFile& checked : kCheckedFiles) {
        const auto payload = platform::PayloadStore().Find(checked.payload);
        const std::string path = JoinPath(folder, checked.name);
        ImageFile file;
        CheckedImage image;
        // A file the program does not carry may be missing; what is there
        // is kept all the same, so that nothing else can take its place.
        if (!checked.required && (!payload || payload->empty())) {
            if (file.Open(path) && RecordImage(file, std::nullopt, image)) seen.emplace(path, std::move(image));
            continue;
        }
        if (!file.Open(path)) {
            ShowBox(diag::FillIn("Line%d: can't open %s!", {number, checked.name}));
            return false;
        }
        // A file cut short on a full disk is as wrong as an empty one, and
        // one changed since it was extracted as one never extracted.
        if (file.Length() < 2 || (payload && file.Length() != payload->size()) || !RecordImage(file, payload, image)) {
            ShowBox(diag::FillIn("Line%d: Open wrong %s! ", {number, checked.name}));
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

IReplugControl* SetReplugControl(IReplugControl* control) { return g_replug.exchange(control); }

void RemoveWorkingFiles(Cleanup variant)
{
    const std::string folder = WorkingFolder();
    const std::span<const char* const> names =
        variant == Cleanup::EndOfRun ? std::span<const char* const>(kEndOfRunFiles) : kFormDestroyedFiles;
    for (const char* name : names) RemoveIfPresent(JoinPath(folder, name));
    if (variant != Cleanup::EndOfRun) return;

    // The library can go only once its thread has stopped calling it.
    IReplugControl* control = g_replug.load();
    if (control) control->StopThread();
    platform::Clock().SleepMs(kReplugUnloadPauseMs);
    if (control) control->UnloadLibrary();
    RemoveIfPresent(JoinPath(folder, kReplugLibraryFile));
}

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
    return [&ctx, &file, send = std::move(send)](std::uint32_t offset, const std::uint8_t* data, std::uint32_t length) {
        if (!send(offset, data, length)) return false;
        ctx.Transfer(file.Name(), std::uint64_t{offset} + length, file.Length());
        return true;
    };
}

}  // namespace flashing
