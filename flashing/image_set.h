#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diag_commands.h"
#include "platform/scoped_backend.h"
#include "workflow/line_record.h"
#include "workflow/line_reporting.h"

// The image set: the files the program carries as numbered payloads, the
// working folder they are extracted into, the check of a line's image files
// before a run, the check block inside the modem software image and the
// clean-up of the working files.
//
// The working folder is "C:\Program Files\Windows Service\LR520Snewversion"
// on Windows. On Linux it is <state>/firmware, <state> being
// platform::StateDirectory(); the folder and any parent the program creates
// are private to the user (0700), so nobody else can swap an image between
// the check and the download. An image changed all the same, by the user or
// a program of theirs, is refused before its changed bytes are sent: the
// check keeps what it read of every image file, and each read while
// flashing is compared with that.
namespace flashing {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Title of the program's plain message boxes.
inline constexpr const char* kBoxTitle = "DL_LR520S_BEL_MD_ZUD1.00.00";

inline constexpr const char* kPartitionFile = "partition.mbn";
inline constexpr const char* kCfgDataFile = "qcsblhd_cfgdata.mbn";
inline constexpr const char* kQcsblFile = "qcsbl.mbn";
inline constexpr const char* kOemsblHeaderFile = "oemsblhd.mbn";
inline constexpr const char* kOemsblFile = "oemsbl.mbn";
inline constexpr const char* kAmssHeaderFile = "amsshd.mbn";
inline constexpr const char* kAmssFile = "amss.mbn";
inline constexpr const char* kEfsFile = "efs.mbn";
inline constexpr const char* kRamProgrammerFile = "armprg.bin";
inline constexpr const char* kNandHeaderFile = "nandprghd.mbn";
inline constexpr const char* kNandImageFile = "nandprgcombined.mbn";
inline constexpr const char* kSetModeFile = "SetMode.exe";
inline constexpr const char* kSetupFile = "NollexSetup.exe";
inline constexpr const char* kReplugLibraryFile = "Hopcycle.dll";
inline constexpr const char* kNvBackupFile = "Channel1.nvm";

// The check block that the upgrade sequence hands to the device: 128 bytes
// of amss.mbn starting with this word at an offset that is a multiple of 4.
inline constexpr std::uint8_t kCheckBlockMagic[4] = {0x2C, 0x1A, 0xBE, 0x6E};

// The working folder, or the one a ScopedWorkingFolder put in its place.
std::string WorkingFolder();

// Puts another working folder in place for the lifetime of a scope (tests).
// The folder it replaced comes back when the scope ends.
class ScopedWorkingFolder {
public:
    explicit ScopedWorkingFolder(std::string folder);
    ~ScopedWorkingFolder();
    ScopedWorkingFolder(const ScopedWorkingFolder&) = delete;
    ScopedWorkingFolder& operator=(const ScopedWorkingFolder&) = delete;

private:
    std::optional<std::string> m_previous;
};

// folder + separator + name.
std::string JoinPath(const std::string& folder, std::string_view name);

// Whether a file or folder of that name exists. One trailing separator is
// ignored, except on a root ("C:\" on Windows, "/" on Linux), which always
// exists. No wildcards: a name with '*' or '?' is looked up as written.
[[nodiscard]] bool PathExists(const std::string& path);
// Creates the folder (one level, no parents) unless it exists; true when it
// is a folder afterwards.
[[nodiscard]] bool EnsureFolder(const std::string& path);
// Makes sure the working folder exists, creating the folders above it
// first; false at the first that can be neither found nor created.
[[nodiscard]] bool PrepareWorkingFolder();
#ifndef _WIN32
// Whether the working folder may be used, asked before anything is touched:
// the state folder's variables are sound and the folder can be written or
// made. False with a sentence that says what to do.
[[nodiscard]] bool CheckWorkingFolder(std::string& error);
#endif

// Writes payload `id` into the working folder as a new file `name` in place
// of whatever is there (a link is replaced, not followed); an id the store
// lacks gives an empty file. When it cannot be written in full, nothing but
// a folder is left at the name and "read <name> fail!" is shown (nothing for
// the two NAND programmer files, which are optional).
[[nodiscard]] bool ExtractPayload(int id, std::string_view name);
// Every payload of the manifest, in its order (those no build carries come
// out empty); each failure reports itself. True when
// every firmware file was written whole.
[[nodiscard]] bool ExtractWorkingFiles();

// Points the line's image paths, NV folder and NV backup file at `folder`.
// False, with the record untouched, when a path would not fit its field.
[[nodiscard]] bool FillImagePaths(DownloadLine& line, const std::string& folder);

// Whether the line may start: its image folder is set, its device is found
// (when `deviceRequired`), and each image file in the folder opens, holds
// at least 2 bytes and, where the program carries it, exactly the bytes of
// its payload. The first failure is shown in a message box. What it read of
// each image file there is kept as the line's checked images.
[[nodiscard]] bool CheckImageFolder(const LineContext& ctx, bool deviceRequired);

// Whether the image file at `path` still holds what the line's check read;
// also when no check ran, or when the file is missing now as it was then.
StepResult VerifyImage(const LineContext& ctx, const std::string& path);

// Fills `block` from the check block of the line's amss.mbn. Without a
// match the first four bytes hold the last word looked at; a match less
// than 128 bytes before the end copies only up to the end. The rest of the
// buffer keeps what it held.
bool ReadCheckBlock(const LineContext& ctx, std::span<std::uint8_t, diag::kCheckBlockSize> block);

// The application's re-plug thread and library, as the clean-up needs them.
class IReplugControl {
public:
    virtual ~IReplugControl() = default;
    // Returns once the thread no longer calls into the library.
    virtual void StopThread() = 0;
    virtual void UnloadLibrary() = 0;
};

// Installs the control the clean-up uses; null when there is none. Returns
// the one it replaced.
IReplugControl* SetReplugControl(IReplugControl* control);

using ScopedReplugControl = platform::ScopedBackend<IReplugControl, SetReplugControl>;

enum class Cleanup {
    // End of a run and quit: also stops the re-plug thread, waits 500 ms,
    // unloads the library and then deletes its file.
    EndOfRun,
    // Destruction of the form: the library stays loaded.
    FormDestroyed,
};

// Deletes the working files of the variant; files that are missing or
// cannot be deleted are passed over. The NV backup is not among them: only
// the run that restored it removes it.
void RemoveWorkingFiles(Cleanup variant);

// How a file went out block by block.
enum class BlockRun { Sent, ReadFailed, SendFailed };

// Sends one block: its offset in the file, its bytes.
using BlockSender = std::function<bool(std::uint32_t offset, const std::uint8_t* data, std::uint32_t length)>;

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
