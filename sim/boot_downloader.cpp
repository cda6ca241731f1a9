#include "sim/boot_downloader.h"

#include <algorithm>
#include <iterator>

#include "sim/modem.h"

namespace sim {
namespace {

using Request = BootDownloader::Request;
static_assert(std::size(BootDownloader::kRequestNames) == static_cast<std::size_t>(Request::Count));

struct Command {
    std::uint8_t code;
    Request request;
};

constexpr Command kCommands[] = {
    {0x06, Request::Nop}, {0x07, Request::Parameters}, {0x0F, Request::Write}, {0x05, Request::Go}, {0x0A, Request::Reset},
};

constexpr std::uint8_t kAck = 0x02;
// Its parameters reply, byte for byte.
constexpr std::uint8_t kParameters[] = {0x08, 0x05, 0x02, 0x04, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00};

// Reasons of a refusal.
constexpr std::uint8_t kInvalidDestination = 0x02;
constexpr std::uint8_t kInvalidLength = 0x03;
constexpr std::uint8_t kUnexpectedEnd = 0x04;
constexpr std::uint8_t kInvalidCommand = 0x06;
constexpr std::uint8_t kBadAddress = 0x07;

// Write: code, 32-bit address, 16-bit length, data.
constexpr std::size_t kWriteHeader = 7;

Bytes Nak(std::uint8_t reason)
{
    return {BootDownloader::kNak, 0x00, reason};
}

}  // namespace

bool BootDownloader::Reply(Request request, Bytes payload)
{
    return m_device.Reply(Name(request), std::move(payload));
}

void BootDownloader::HandleFrame(const Bytes& p, std::uint32_t now)
{
    const auto* command = std::find_if(std::begin(kCommands), std::end(kCommands), [&](const Command& c) { return c.code == p[0]; });
    const Request request = command == std::end(kCommands) ? Request::Unknown : command->request;
    m_device.Record(now, Name(request), p);
    switch (request) {
    case Request::Nop: Reply(request, {kAck}); return;
    case Request::Parameters: Reply(request, Bytes(std::begin(kParameters), std::end(kParameters))); return;
    case Request::Write: Write(p); return;
    case Request::Go: {
        const std::uint32_t address = static_cast<std::uint32_t>(Be16(p, 1)) << 16 | Be16(p, 3);
        if (m_ram.empty() || address != kRamBase) {
            Reply(request, Nak(kBadAddress));
            return;
        }
        if (!Reply(request, {kAck})) return;
        m_startAddress = address;
        m_device.StartProgrammer();
        return;
    }
    case Request::Reset:
        if (Reply(request, {kAck})) m_device.Reboot(now);
        return;
    default: Reply(Request::Unknown, Nak(kInvalidCommand)); return;
    }
}

void BootDownloader::Write(const Bytes& p)
{
    if (p.size() < kWriteHeader) {
        Reply(Request::Write, Nak(kUnexpectedEnd));
        return;
    }
    const std::uint32_t address = Be32(p, 1);
    const std::uint16_t length = Be16(p, 5);
    if (p.size() - kWriteHeader != length) {
        Reply(Request::Write, Nak(kInvalidLength));
        return;
    }
    if (address < kRamBase || address - kRamBase + length > kRamSize) {
        Reply(Request::Write, Nak(kInvalidDestination));
        return;
    }
    const std::uint32_t offset = address - kRamBase;
    if (m_ram.size() < offset + length) m_ram.resize(offset + length);
    std::copy(p.begin() + kWriteHeader, p.end(), m_ram.begin() + offset);
    m_ramHighWater = std::max<std::uint32_t>(m_ramHighWater, offset + length);
    Reply(Request::Write, {kAck});
}

}  // namespace sim
