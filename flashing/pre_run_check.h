#pragma once

#include <string>

#include "workflow/line_record.h"
#include "workflow/line_reporting.h"

// The check of a line's image files before a run, and what the run holds
// each image against while it sends it.
namespace flashing {

// Whether the line may start: its image folder is set, its device is found
// (when `deviceRequired`), and each image file the manifest has the check
// open, in its order, opens, holds at least 2 bytes and, where the program
// carries it, exactly the bytes of its payload. The first failure is shown
// in a message box. What it read of each image file there is kept as the
// line's checked images.
[[nodiscard]] bool CheckImageFolder(const LineContext& ctx, bool deviceRequired);

// Whether the image file at `path` still holds what the line's check read;
// also when no check ran, or when the file is missing now as it was then.
StepResult VerifyImage(const LineContext& ctx, const std::string& path);

}  // namespace flashing
