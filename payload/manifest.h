#pragma once

#include <array>
#include <string_view>

// The payloads the program carries and extracts into its working folder at
// start-up. The table itself is payload/manifest.txt; the build makes the
// constants below from it, one per file (payload::kAmss for amss), and
// every part of the program takes file names and ids from them.
namespace payload {

// Where the bytes of a payload come from.
enum class Source {
    Firmware,  // a file of the firmware set embedded at build time
    Built,     // a deliverable of this project that the Windows build carries (the re-plug library)
    None,      // asked for at start-up but carried by no build: it comes out as an empty file
};

// What a file that cannot be written into the working folder shows.
enum class Extraction {
    Shown,  // "read <file> fail!"
    Quiet,  // nothing: the NAND programmer files
};

// What the check of a line's image folder before a run wants of the file.
enum class Check {
    None,         // not checked
    Always,       // opens and holds at least 2 bytes (its payload, where carried)
    WhenCarried,  // as Always, but only when the program carries the file
};

struct Payload {
    int id;
    std::string_view fileName;
    Source source;
    Extraction extraction;
    Check check;
};

}  // namespace payload

#include "payload/manifest_entries.h"
