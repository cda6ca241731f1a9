#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/phone_protocol.h"

// The boot downloader's protocol: it takes the flash programmer into device
// RAM block by block and starts it. Its multi-byte fields go out most
// significant byte first.
namespace download {

// What the boot downloader answered to the parameter request: a copy of the
// reply area.
using FlashInfo = std::array<std::uint8_t, CPhoneProtocol::kReplySize>;

// Request layouts and reply parser of the `Dmss` mode. The operations below
// install it themselves; a protocol object needs no other set-up.
class Dmss final : public IModeCodec {
public:
    static constexpr std::uint8_t kAck = 0x02;
    static constexpr std::uint8_t kNak = 0x03;
    static constexpr std::uint8_t kGo = 0x05;
    static constexpr std::uint8_t kNop = 0x06;
    static constexpr std::uint8_t kGetParams = 0x07;
    static constexpr std::uint8_t kReset = 0x0A;
    static constexpr std::uint8_t kWrite = 0x0F;

    // Request record of a write: address (4 bytes), data length (4 bytes),
    // then the data, which fills the rest of the record.
    static constexpr std::size_t kWriteAddressField = 0;
    static constexpr std::size_t kWriteLengthField = 4;
    static constexpr std::size_t kWriteDataField = 8;
    static constexpr std::size_t kMaxWriteData = CPhoneProtocol::kRequestParamSize - kWriteDataField;
    // Request record of a go: segment (2 bytes), offset (2 bytes).
    static constexpr std::size_t kGoSegmentField = 0;
    static constexpr std::size_t kGoOffsetField = 2;

    void BuildPayload(const CPhoneProtocol& protocol, std::vector<std::uint8_t>& payload) const override;
    // Copies the reply into the reply area; a refusal fails with its reason.
    bool ParseReply(CPhoneProtocol& protocol) const override;

    // The reason text of a refusal; empty for reasons the table lacks.
    static const char* NakText(std::uint16_t reason);
};

// Writes `length` bytes (at most Dmss::kMaxWriteData) to device RAM.
bool DmssWrite(CPhoneProtocol& protocol, std::uint32_t address, const std::uint8_t* data, std::uint32_t length);
// Starts execution at segment:offset.
bool DmssGo(CPhoneProtocol& protocol, std::uint16_t segment, std::uint16_t offset);
// True only when the boot downloader acknowledges.
bool DmssNop(CPhoneProtocol& protocol);
bool DmssReset(CPhoneProtocol& protocol);
// Fills `info` from the reply; clears it when the request fails.
bool DmssGetParams(CPhoneProtocol& protocol, FlashInfo& info);

}  // namespace download
