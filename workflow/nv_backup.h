#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "diag/diag_commands.h"
#include "workflow/line_reporting.h"

// The NV backup: the device's NV items saved into a file before its flash is
// rewritten, and written back from that file afterwards.
namespace workflow {

// The items saved, in the order of the backup file's records. Some are
// listed twice and are read and written twice.
inline constexpr std::size_t kNvListedItems = 978;
// Closes the list; any record from this item number up ends a table.
inline constexpr std::uint16_t kNvEndMark = 9999;

// The listed items, then the end mark.
const std::array<std::uint16_t, kNvListedItems + 1>& NvItemList();

// One item as the backup file holds it: 136 bytes, little-endian, with the
// item number at 0, two reserved bytes at 2, the data at 4, the status at
// 132 and two zero bytes at 134.
struct NvRecord {
    static constexpr std::size_t kSize = 136;
    static constexpr std::size_t kItemOffset = 0;
    static constexpr std::size_t kDataOffset = 4;
    static constexpr std::size_t kStatusOffset = 132;

    std::uint16_t item = 0;
    std::array<std::uint8_t, diag::kNvDataSize> data{};
    // 0 once read; else the device's NV status, or NV_RWOPFAILED_S when the
    // device gave no valid reply. Data is zero unless the item was read.
    std::uint16_t status = 0;

    // The reserved bytes and the last two are written as zero.
    void Encode(std::span<std::uint8_t, kSize> out) const;
    // The reserved bytes are ignored.
    static NvRecord Decode(std::span<const std::uint8_t, kSize> in);

    bool operator==(const NvRecord&) const = default;
};

// The records of a backup, as the file holds them byte for byte, without
// header or checksum.
class NvTable {
public:
    static constexpr std::size_t kRecordCount = 980;
    static constexpr std::size_t kSize = kRecordCount * NvRecord::kSize;

    // The listed items in order, the end mark, then an all-zero record; data
    // and status zero.
    NvTable();

    // Item numbers, data and status as the bytes hold them.
    static NvTable Decode(std::span<const std::uint8_t, kSize> bytes);
    std::vector<std::uint8_t> Encode() const;

    NvRecord& operator[](std::size_t index) { return m_records[index]; }
    const NvRecord& operator[](std::size_t index) const { return m_records[index]; }

private:
    // On the heap: a worker thread's stack need not hold 130 KB.
    std::vector<NvRecord> m_records;
};
static_assert(NvTable::kSize == 133280);

// Writes the table to `path` through a new temporary file in the same
// folder that replaces `path` only once all of it is written and flushed, so
// a failed write leaves an earlier file as it was and a link at either name
// is never written through. On failure logs
// "Line %d fail to save data into %s (%d)" and returns false.
[[nodiscard]] bool SaveNvTable(const LineContext& ctx, const NvTable& table, const std::string& path);

// Reads every listed item from the device on the line's diagnostic port
// (progress in the backup's span), reads those that got no valid reply once
// more, and saves the table to `path`.
// Done when the file holds what the device answered; items it refused
// (inactive, read only, unsupported) are marked with their status and
// skipped by a restore. Fails when the file could not be written (the run
// log says why), and also when it was written but some items got no valid
// reply even when read once more, for a restore would leave those at
// factory values: the run log then says how many and names the first.
StepResult NvBackup(const LineContext& ctx, const std::string& path);

// Moves the NV backup file at `path` (or any other file that must be kept)
// aside, within its folder, to <stem>-<tag>-<now><extension>, never over
// another file. Returns the new path; empty when there was no file or it
// could not be moved.
std::string SetNvBackupAside(const std::string& path, const std::string& tag, const platform::LocalTime& now);

// Writes the items saved in `path` back to the device (progress in the
// restore's span).
// Fails when the file is missing, unreadable or not exactly one table long
// (the last with a message box), or when an item can be written neither the
// first nor the second time and the device did not call it inactive or read
// only; items written before stay written.
StepResult NvRestore(const LineContext& ctx, const std::string& path);

}  // namespace workflow
