#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "workflow/line_reporting.h"

// The run journal: a small file beside the NV backup that says which device
// a run was upgrading, which backup holds that device's NV items and how
// far the run got. A run cut short (a killed program, a power cut, a pulled
// cable) leaves it behind, and the next start takes the run up from there.
namespace workflow {

struct RunJournal {
    std::uint32_t esn = 0;
    // The NV backup's file name, in the journal's folder.
    std::string backup;
    int diagPort = 0;
    int modemPort = 0;
    RunPhase phase = RunPhase::BackedUp;

    // The text the file holds: a header line, one line per field and the
    // MD5 of all before it, so that a journal cut short or changed is told
    // from a whole one.
    std::string Encode() const;
    // Nothing but the exact text Encode gives is taken.
    static std::optional<RunJournal> Decode(const std::string& text);
    bool operator==(const RunJournal&) const = default;
};

// The ESN as journals, backup names and the run log write it: 8 upper-case
// hexadecimal digits.
std::string EsnText(std::uint32_t esn);

// The phase's name in the journal and in the run log.
const char* PhaseName(RunPhase phase);

// The journal of the device with `esn`: RunJournal-<ESN>.txt in `folder`.
std::string JournalPath(const std::string& folder, std::uint32_t esn);

// Replaces the journal at its path atomically: a reader finds the earlier
// journal or this one, never a mix.
StepResult SaveJournal(const std::string& folder, const RunJournal& journal);

// Removes the journal of `esn`; false when it is still there.
bool RemoveJournal(const std::string& folder, std::uint32_t esn);

// What the folder's journals say. A journal that cannot be read whole, or
// whose name and ESN differ, is set aside under a name of its own and never
// trusted; `notes` gets a line for each, and one for a journal whose NV
// backup is missing or not one table long (kept, and left out).
struct FoundJournals {
    std::vector<RunJournal> journals;
    std::vector<std::string> notes;
};
FoundJournals FindJournals(const std::string& folder, const platform::LocalTime& now);

// The journal of `esn` among those found, if any.
std::optional<RunJournal> JournalOf(const FoundJournals& found, std::uint32_t esn);

}  // namespace workflow
