#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

// What the device does wrong when it answers one kind of request.
enum class ReplyFault {
    Silent,      // no reply at all
    Late,        // the reply leaves after `value` ms
    BadCrc,      // the reply's CRC is damaged
    Double,      // the reply is sent twice in one burst
    Nak,         // a download refusal with reason `value` (boot downloader)
    DiagError,   // a DIAG error reply with code `value` (normal software)
    StreamError, // an error reply with code `value` (flash programmer)
    Code,        // a reply of the single code byte `value`
    LowerCase    // a text reply in lower case
};

struct ReplyRule {
    ReplyFault fault = ReplyFault::Silent;
    std::uint32_t value = 0;
    int remaining = -1;  // how many more requests it applies to; -1 for ever
};

// The switchable faults of the simulated modem. Reply faults are keyed by the
// names the device answers requests under ("esn", "nvread", "swrite", ...).
struct Faults {
    // `requests`: those names, the only ones a reply fault may use; one set
    // for the whole program, kept by the device.
    explicit Faults(const std::set<std::string>& requests) : known(&requests) {}

    const std::set<std::string>* known;
    std::map<std::string, std::vector<ReplyRule>> replies;
    std::map<std::uint16_t, std::uint16_t> nvStatus;  // item -> status the device answers
    std::set<std::uint16_t> nvNoReply;                // items whose reads are never answered
    int blockRejects = 0;            // checksum mode: times each block is rejected
    bool neverReady = false;         // checksum mode: the programmer never signals readiness
    bool wrongSegmentCrc = false;    // segment mode: the CRC reply is off by one
    std::int64_t vanishAfterBytes = -1;  // leave the bus once this much image data came in
    bool neverReturn = false;        // after the flash programmer's reset the device never comes back
    bool lost = false;               // after any reset or switch the device never comes back
    // After the flash programmer's reset another device comes back on the
    // same ports: another ESN, other NV items.
    bool swapped = false;
    std::optional<std::string> productText;
    std::optional<std::uint8_t> downloadCheckResult;
    std::optional<std::vector<std::uint8_t>> challenge;
    std::optional<std::uint32_t> versionsRawLength;  // four-versions reply of exactly this many raw bytes

    // Takes the next rule for a request, counting it down.
    std::optional<ReplyRule> Take(const std::string& request);

    // Parses one fault description as given on the command line:
    //   REQUEST=silent | late:MS | badcrc | double | nak:N | diagerror:N | streamerror:N
    //           | code:N | lowercase  [*COUNT]
    //   nvstatus:ITEM=STATUS   nvnoreply:ITEM   blockreject:N   neverready   wrongsegmentcrc
    //   vanishafter:BYTES   neverreturn   lost   swapped   product:TEXT   downloadcheck:N
    //   challenge:HEX16   versionslength:N
    // Returns false with a reason for anything else, and for a REQUEST the
    // device does not know.
    bool Parse(const std::string& text, std::string& error);
};

}  // namespace sim
