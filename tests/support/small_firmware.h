#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>
#include <utility>

#include "sim/modem.h"
#include "test_files.h"

// A deterministic firmware set with the real structure, small enough to
// flash in a moment: the modem software spans three checksum blocks and
// holds its check block at a word offset.
inline std::map<std::string, Bytes> SmallFirmware()
{
    const std::pair<const char*, std::size_t> sizes[] = {
        {"partition.mbn", 464}, {"qcsblhd_cfgdata.mbn", 1336}, {"qcsbl.mbn", 3000},        {"oemsblhd.mbn", 40},
        {"oemsbl.mbn", 5000},   {"amsshd.mbn", 40},            {"amss.mbn", 0x40000 + 100}, {"efs.mbn", 0x20000 + 7},
        {"nandprghd.mbn", 40},  {"armprg.bin", 3000}};
    std::map<std::string, Bytes> images;
    std::uint32_t seed = 0;
    for (const auto& [name, size] : sizes) images[name] = Pattern(size, ++seed);
    const std::uint8_t magic[] = {0x2C, 0x1A, 0xBE, 0x6E};
    std::copy(std::begin(magic), std::end(magic), images["amss.mbn"].begin() + 0x1000);
    // The programmer starts with its header; the NAND image is the same file.
    std::copy(images["nandprghd.mbn"].begin(), images["nandprghd.mbn"].end(), images["armprg.bin"].begin());
    images["nandprgcombined.mbn"] = images["armprg.bin"];
    return images;
}

// The modem's flash holds the partition table and every image of `images`
// as written, each closed.
inline void ExpectFlashed(const sim::SimModem& modem, const std::map<std::string, Bytes>& images)
{
    const std::pair<std::uint8_t, const char*> written[] = {
        {2, "qcsblhd_cfgdata.mbn"}, {3, "qcsbl.mbn"}, {4, "oemsbl.mbn"}, {5, "amss.mbn"}, {9, "efs.mbn"}};
    for (const auto& [type, name] : written) {
        ASSERT_EQ(modem.Images().count(type), 1u) << name;
        EXPECT_EQ(modem.Images().at(type).data, images.at(name)) << name;
        EXPECT_TRUE(modem.Images().at(type).closed) << name;
    }
    EXPECT_EQ(modem.PartitionTable(), images.at("partition.mbn"));
}
