#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

// A whole file of a firmware folder; empty, with a test failure, when it
// cannot be read.
inline std::vector<std::uint8_t> ReadFirmwareFile(std::string_view folder, std::string_view name)
{
    const std::string path = std::string(folder) + "/" + std::string(name);
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    EXPECT_TRUE(in) << "cannot open " << path;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}
