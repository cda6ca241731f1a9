#pragma once

#include <string>

#include "payload/manifest.h"
#include "platform/backends.h"

// The extraction of the payloads the program carries into its working
// folder at start-up.
namespace flashing {

// Writes the payload of `backends`' store into the working folder `folder`
// as a new file of its name in
// place of whatever is there (a link is replaced, not followed); a payload
// the store lacks gives an empty file. When it cannot be written in full,
// nothing but a folder is left at the name and, unless the manifest says
// quiet, "read <name> fail!" is shown in a box of `backends`.
[[nodiscard]] bool ExtractPayload(const std::string& folder, const payload::Payload& payload,
                                  const platform::Backends& backends);
// Every payload of the manifest, in its order (those no build carries come
// out empty); each failure reports itself. True when every firmware file was
// written whole.
[[nodiscard]] bool ExtractWorkingFiles(const std::string& folder, const platform::Backends& backends);

}  // namespace flashing
