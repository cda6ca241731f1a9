#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// The numbered payload files the program carries and extracts into its
// working folder at start-up.
namespace payload {

inline constexpr int kAmssHeader = 163;            // amsshd.mbn
inline constexpr int kAmss = 164;                  // amss.mbn
inline constexpr int kRamProgrammer = 165;         // armprg.bin
inline constexpr int kEfs = 166;                   // efs.mbn
inline constexpr int kOemsblHeader = 167;          // oemsblhd.mbn
inline constexpr int kOemsbl = 168;                // oemsbl.mbn
inline constexpr int kPartitionTable = 169;        // partition.mbn
inline constexpr int kQcsblCfgData = 171;          // qcsblhd_cfgdata.mbn
inline constexpr int kQcsbl = 172;                 // qcsbl.mbn
inline constexpr int kReplugLibrary = 173;         // Hopcycle.dll
inline constexpr int kNandProgrammerHeader = 184;  // nandprghd.mbn
inline constexpr int kNandProgrammer = 185;        // nandprgcombined.mbn
inline constexpr int kSetMode = 187;               // SetMode.exe
inline constexpr int kNollexSetup = 188;           // NollexSetup.exe

// Where the bytes of a payload come from.
enum class Source {
    Firmware,  // a file of the firmware set embedded at build time
    Built,     // a deliverable of this project that the Windows build carries (the re-plug library)
    None,      // asked for at start-up but carried by no build: it comes out as an empty file
};

struct Payload {
    int id;
    std::string_view fileName;
    std::string_view what;
    // Shown when the file cannot be created in the working folder; empty
    // for the two NAND programmer files, whose failure shows nothing.
    std::string_view extractFailure;
    Source source;
};

// Every payload, in the order start-up extracts them.
inline constexpr std::array<Payload, 14> kPayloads{{
    {kAmss, "amss.mbn", "modem software image", "read amss.mbn fail!", Source::Firmware},
    {kPartitionTable, "partition.mbn", "flash partition table", "read partition.mbn fail!", Source::Firmware},
    {kQcsblCfgData, "qcsblhd_cfgdata.mbn", "secondary boot loader header and configuration data",
     "read qcsblhd_cfgdata.mbn fail!", Source::Firmware},
    {kQcsbl, "qcsbl.mbn", "secondary boot loader", "read qcsbl.mbn fail!", Source::Firmware},
    {kOemsblHeader, "oemsblhd.mbn", "OEM boot loader header", "read oemsblhd.mbn fail!", Source::Firmware},
    {kOemsbl, "oemsbl.mbn", "OEM boot loader", "read oemsbl.mbn fail!", Source::Firmware},
    {kAmssHeader, "amsshd.mbn", "modem software image header", "read amsshd.mbn fail!", Source::Firmware},
    {kEfs, "efs.mbn", "compressed file-system image", "read efs.mbn fail!", Source::Firmware},
    {kRamProgrammer, "armprg.bin", "flash programmer loaded into device RAM", "read armprg.bin fail!",
     Source::Firmware},
    {kNandProgrammerHeader, "nandprghd.mbn", "NAND programmer image header", "", Source::Firmware},
    {kNandProgrammer, "nandprgcombined.mbn", "NAND programmer image", "", Source::Firmware},
    {kSetMode, "SetMode.exe", "program no build carries", "read SetMode.exe fail!", Source::None},
    {kNollexSetup, "NollexSetup.exe", "program no build carries", "read NollexSetup.exe fail!", Source::None},
    {kReplugLibrary, "Hopcycle.dll", "re-plug library", "read Hopcycle.dll fail!", Source::Built},
}};

// The payload with that id; null when the program knows no such payload.
constexpr const Payload* FindPayload(int id)
{
    for (const Payload& payload : kPayloads) {
        if (payload.id == id) return &payload;
    }
    return nullptr;
}

namespace detail {
constexpr bool IdsAndNamesAreUnique()
{
    for (std::size_t i = 0; i < kPayloads.size(); ++i) {
        for (std::size_t j = i + 1; j < kPayloads.size(); ++j) {
            if (kPayloads[i].id == kPayloads[j].id || kPayloads[i].fileName == kPayloads[j].fileName) return false;
        }
    }
    return true;
}
}  // namespace detail

static_assert(detail::IdsAndNamesAreUnique(), "two payloads share an id or a file name");

}  // namespace payload
