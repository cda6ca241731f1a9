#pragma once

#include "payload/manifest.h"

// The extraction of the payloads the program carries into its working
// folder at start-up.
namespace flashing {

// Writes the payload into the working folder as a new file of its name in
// place of whatever is there (a link is replaced, not followed); a payload
// the store lacks gives an empty file. When it cannot be written in full,
// nothing but a folder is left at the name and, unless the manifest says
// quiet, "read <name> fail!" is shown.
[[nodiscard]] bool ExtractPayload(const payload::Payload& payload);
// Every payload of the manifest, in its order (those no build carries come
// out empty); each failure reports itself. True when every firmware file was
// written whole.
[[nodiscard]] bool ExtractWorkingFiles();

}  // namespace flashing
