#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// MD5 message digest (RFC 1321). Shared by the host and the simulated modem,
// which answer and check the device challenge with it.
namespace md5 {

using Digest = std::array<std::uint8_t, 16>;

class Hasher {
public:
    Hasher();
    void Update(const std::uint8_t* data, std::size_t length);
    Digest Finish();

private:
    void Transform(const std::uint8_t block[64]);

    std::uint32_t m_state[4];
    std::uint64_t m_bitCount = 0;
    std::uint8_t m_buffer[64] = {};
    std::size_t m_buffered = 0;
};

Digest Compute(const std::uint8_t* data, std::size_t length);

}  // namespace md5
