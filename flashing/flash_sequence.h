#pragma once

#include "workflow/line_reporting.h"

// The images written through the running flash programmer, in the order the
// flash needs them: one entry for the upgrade and for the stand-alone
// flashing tool, so both recover from a failed attempt alike.
namespace flashing {

// The run log's note at the start of each attempt and step.
inline constexpr const char* kDownloading = "Downloading...";

// Probe write, security mode, partition table, boot loaders, modem
// software, NAND programmer and file-system image, in up to three attempts;
// every later attempt first closes what the failed one left open and checks
// that the programmer still answers. No attempt starts once an image file
// differs from what the line's check read. The line counts as partly
// written from the security mode until the last image is written. On
// failure the reason is that of the last attempt.
StepResult WriteAllImages(const LineContext& ctx);

}  // namespace flashing
