#pragma once

#include <string>

#include "workflow/line_record.h"

namespace flashing {

// The NV backup file, in the same folder as the images.
inline constexpr const char* kNvBackupFile = "Channel1.nvm";

// Points the line's image paths, NV folder and NV backup file at `folder`.
// False, with the record untouched, when a path would not fit its field.
[[nodiscard]] bool FillImagePaths(DownloadLine& line, const std::string& folder);

}  // namespace flashing
