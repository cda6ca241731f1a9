#include "flashing/extraction.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "flashing/box_title.h"
#include "flashing/paths.h"
#include "platform/files.h"

namespace flashing {

bool ExtractPayload(const std::string& folder, const payload::Payload& payload, const platform::Backends& backends)
{
    const std::string path = JoinPath(folder, payload.fileName);
    const auto bytes = backends.payloads.Find(payload.id);
    int cause = 0;
    // A new file each time: whatever is at the name, a link to a file of
    // the user's included, is replaced and never written into.
    const bool written =
        platform::ReplaceFile(path, path + ".new", bytes.value_or(std::span<const std::uint8_t>()), false, cause);
    // An older file left at the name would be taken for this one; a folder
    // there is the user's.
    std::error_code ignored;
    if (!written && !std::filesystem::is_directory(std::filesystem::symlink_status(path, ignored))) {
        std::filesystem::remove(path, ignored);
    }
    if (!written && payload.extraction == payload::Extraction::Shown) {
        ShowPlainBox(backends.messageBoxes, "read " + std::string(payload.fileName) + " fail!");
    }
    return written;
}

bool ExtractWorkingFiles(const std::string& folder, const platform::Backends& backends)
{
    bool all = true;
    for (const payload::Payload& entry : payload::kPayloads) {
        const bool written = ExtractPayload(folder, entry, backends);
        // Only the firmware decides whether a run may be offered: without
        // the re-plug library the program goes on, as when it cannot load.
        if (entry.source == payload::Source::Firmware) all = written && all;
    }
    return all;
}

}  // namespace flashing
