#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "link/phone_protocol.h"

// The boot downloader's protocol: it takes the flash programmer into device
// RAM block by block and starts it. Its multi-byte fields go out most
// significant byte first.
namespace download {

// What the boot downloader answered to the parameter request: the reply's
// first bytes, zero beyond what it sent.
using FlashInfo = std::array<std::uint8_t, 304>;

// The commands of the `Dmss` mode, its request builders and reply parsers.
struct Dmss {
    static constexpr std::uint8_t kAck = 0x02;
    static constexpr std::uint8_t kNak = 0x03;
    static constexpr std::uint8_t kGo = 0x05;
    static constexpr std::uint8_t kNop = 0x06;
    static constexpr std::uint8_t kGetParams = 0x07;
    static constexpr std::uint8_t kReset = 0x0A;
    static constexpr std::uint8_t kWrite = 0x0F;

    // The most data one write request carries.
    static constexpr std::size_t kMaxWriteData = 1031;

    // Appends the request payload; `data` must not exceed kMaxWriteData.
    static void BuildWrite(Bytes& out, std::uint32_t address, std::span<const std::uint8_t> data);
    static void BuildGo(Bytes& out, std::uint16_t segment, std::uint16_t offset);
    // The requests that are their command code alone (kNop, kGetParams, kReset).
    static void BuildCommand(Bytes& out, std::uint8_t command);

    // A refusal fails its attempt with the reason it gives.
    static StepResult Refusal(std::span<const std::uint8_t> reply);
    static FlashInfo ParseFlashInfo(std::span<const std::uint8_t> reply);
    // The reason text of a refusal; empty for reasons the table lacks.
    static const char* NakText(std::uint16_t reason);
};

// Writes `length` bytes (at most Dmss::kMaxWriteData) to device RAM.
StepResult DmssWrite(CPhoneProtocol& protocol, std::uint32_t address, const std::uint8_t* data,
                     std::uint32_t length);
// Starts execution at segment:offset.
StepResult DmssGo(CPhoneProtocol& protocol, std::uint16_t segment, std::uint16_t offset);
// Done only when the boot downloader acknowledges.
StepResult DmssNop(CPhoneProtocol& protocol);
StepResult DmssReset(CPhoneProtocol& protocol);
// Fills `info` from the reply; clears it when the request fails.
StepResult DmssGetParams(CPhoneProtocol& protocol, FlashInfo& info);
// Whether a boot downloader acknowledges a no-operation within `timeoutMs`,
// asked once: the quick question of a search for a device that does not
// answer in its normal software.
[[nodiscard]] bool DmssAnswers(CPhoneProtocol& protocol, std::uint32_t timeoutMs);

}  // namespace download
