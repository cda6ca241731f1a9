#include "workflow/run_journal.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "link/md5.h"
#include "platform/files.h"
#include "workflow/nv_backup.h"

namespace workflow {
namespace {

constexpr const char* kHeader = "upgrade run journal 1\n";
constexpr const char* kPrefix = "RunJournal-";
constexpr const char* kExtension = ".txt";
// A journal is a few lines; anything much longer is not one.
constexpr std::uintmax_t kMaxSize = 1024;

constexpr RunPhase kPhases[] = {RunPhase::BackedUp,       RunPhase::Downloader,  RunPhase::Programmer,
                                RunPhase::PartitionTable, RunPhase::BootLoaders, RunPhase::ModemSoftware,
                                RunPhase::NandProgrammer, RunPhase::FileSystem,  RunPhase::Flashed,
                                RunPhase::Restoring};

std::string Hex(const md5::Digest& digest)
{
    std::string text;
    char byte[3];
    for (const std::uint8_t b : digest) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        text += byte;
    }
    return text;
}

std::string Body(const RunJournal& journal)
{
    return std::string(kHeader) + "esn " + EsnText(journal.esn) + "\nbackup " + journal.backup + "\ndiag " +
           std::to_string(journal.diagPort) + "\nmodem " + std::to_string(journal.modemPort) + "\nphase " +
           PhaseName(journal.phase) + "\n";
}

std::optional<std::string> ReadSmallFile(const std::filesystem::path& path)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) return std::nullopt;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxSize) return std::nullopt;
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    if (!file) return std::nullopt;
    std::string text(static_cast<std::size_t>(size), '\0');
    const bool whole = std::fread(text.data(), 1, text.size(), file) == text.size() && std::fgetc(file) == EOF;
    std::fclose(file);
    return whole ? std::optional(text) : std::nullopt;
}

// A journal's name holds its device's ESN: RunJournal-XXXXXXXX.txt.
std::optional<std::uint32_t> EsnOfName(const std::string& name)
{
    const std::size_t prefix = std::char_traits<char>::length(kPrefix);
    if (name.size() != prefix + 8 + 4 || !name.starts_with(kPrefix) || !name.ends_with(kExtension)) return std::nullopt;
    std::uint32_t esn = 0;
    for (std::size_t i = prefix; i < prefix + 8; ++i) {
        const char c = name[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        esn = esn << 4 | static_cast<std::uint32_t>(digit);
    }
    return esn;
}

}  // namespace

std::string EsnText(std::uint32_t esn)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", esn);
    return text;
}

const char* PhaseName(RunPhase phase)
{
    switch (phase) {
    case RunPhase::BackedUp: return "backed-up";
    case RunPhase::Downloader: return "boot-downloader";
    case RunPhase::Programmer: return "flash-programmer";
    case RunPhase::PartitionTable: return "partition-table";
    case RunPhase::BootLoaders: return "boot-loaders";
    case RunPhase::ModemSoftware: return "modem-software";
    case RunPhase::NandProgrammer: return "nand-programmer";
    case RunPhase::FileSystem: return "file-system";
    case RunPhase::Flashed: return "flashed";
    case RunPhase::Restoring: return "restoring";
    }
    return "unknown";
}

std::string RunJournal::Encode() const
{
    const std::string body = Body(*this);
    return body + "md5 " + Hex(md5::Compute(reinterpret_cast<const std::uint8_t*>(body.data()), body.size())) + "\n";
}

std::optional<RunJournal> RunJournal::Decode(const std::string& text)
{
    char esn[9] = {}, backup[261] = {}, phase[32] = {};
    int diag = 0, modem = 0;
    if (!text.starts_with(kHeader) ||
        std::sscanf(text.c_str() + std::char_traits<char>::length(kHeader),
                    "esn %8[0-9A-F]\nbackup %260[^\n]\ndiag %d\nmodem %d\nphase %31[a-z-]\n", esn, backup, &diag,
                    &modem, phase) != 5) {
        return std::nullopt;
    }
    RunJournal journal;
    journal.esn = static_cast<std::uint32_t>(std::strtoul(esn, nullptr, 16));
    journal.backup = backup;
    journal.diagPort = diag;
    journal.modemPort = modem;
    bool known = false;
    for (const RunPhase p : kPhases) {
        if (std::string(PhaseName(p)) == phase) {
            journal.phase = p;
            known = true;
        }
    }
    // The text must be exactly what this journal encodes to: no field with
    // a sign, a leading zero or a character after it slips through.
    if (!known || journal.Encode() != text) return std::nullopt;
    // A backup named with a path could point the restore anywhere.
    if (journal.backup.find_first_of("/\\") != std::string::npos || journal.backup.starts_with(".")) return std::nullopt;
    return journal;
}

std::string JournalPath(const std::string& folder, std::uint32_t esn)
{
    return (std::filesystem::path(folder) / (kPrefix + EsnText(esn) + kExtension)).string();
}

StepResult SaveJournal(const std::string& folder, const RunJournal& journal)
{
    const std::string path = JournalPath(folder, journal.esn);
    const std::string text = journal.Encode();
    int cause = 0;
    if (platform::ReplaceFile(path, path + ".tmp",
                              {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, true, cause)) {
        return {};
    }
    return StepResult::Failed("the run journal " + path + " could not be written (" + std::to_string(cause) + ")");
}

bool RemoveJournal(const std::string& folder, std::uint32_t esn)
{
    std::error_code ec;
    std::filesystem::remove(JournalPath(folder, esn), ec);
    return !ec;
}

FoundJournals FindJournals(const std::string& folder, const platform::LocalTime& now)
{
    namespace fs = std::filesystem;
    FoundJournals found;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        const std::optional<std::uint32_t> esn = EsnOfName(name);
        if (!esn) continue;
        const std::optional<std::string> text = ReadSmallFile(entry.path());
        std::optional<RunJournal> journal = text ? RunJournal::Decode(*text) : std::nullopt;
        if (!journal || journal->esn != *esn) {
            // Out of the way of the next search, never over another file.
            const std::string aside = SetNvBackupAside(entry.path().string(), "damaged", now);
            found.notes.push_back("The run journal " + entry.path().string() + " cannot be read whole and is not " +
                                  "trusted" + (aside.empty() ? " (it could not be moved aside)" : ": kept as " + aside) +
                                  ".");
            continue;
        }
        const fs::path backup = fs::path(folder) / journal->backup;
        const std::uintmax_t size = fs::file_size(backup, ec);
        if (ec || size != NvTable::kSize) {
            found.notes.push_back("The run journal " + entry.path().string() + " names the NV backup " +
                                  backup.string() + ", which " + (ec ? "is missing" : "is not one whole backup") +
                                  ": the journal is kept, but its run cannot be taken up. Put the backup back "
                                  "under that name, then pull out the stick and insert it again.");
            continue;
        }
        found.journals.push_back(std::move(*journal));
    }
    return found;
}

std::optional<RunJournal> JournalOf(const FoundJournals& found, std::uint32_t esn)
{
    for (const RunJournal& journal : found.journals) {
        if (journal.esn == esn) return journal;
    }
    return std::nullopt;
}

}  // namespace workflow
