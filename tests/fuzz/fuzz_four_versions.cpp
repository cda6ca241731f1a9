// The four-versions reply, whose layout follows its raw length. Input: a
// delivery byte, a byte giving how much of the payload a second reply keeps,
// then the reply's payload after its code. Both replies are framed here, so
// every length reaches the layout choice; the parser reads them directly, and
// the request takes them through the packet engine on the same protocol
// object, where the first reply's fields must not show through.
#include <algorithm>
#include <string>

#include "diag/diag_commands.h"
#include "fuzz_support.h"

namespace {

// Field widths by raw reply length, as the device generations send them.
std::vector<std::size_t> Widths(std::size_t rawLength)
{
    if (rawLength < 131) return {22, 22, 24, 24};
    if (rawLength <= 240) return {30, 30, 30, 30};
    if (rawLength <= 290) return std::vector<std::size_t>(8, 30);
    return {30, 30, 30, 30, 30, 30, 30, 30, 31};
}

// `whole`: every reply arrives in one piece.
void Check(CPhoneProtocol& protocol, bool whole, const fuzz::Bytes& payload)
{
    const fuzz::Bytes reply = fuzz::Frame(payload, false);
    const diag::VersionRecord parsed = diag::ParseFourVersions(payload, reply.size());
    const std::vector<std::size_t> widths = Widths(reply.size());
    for (std::size_t field = 1; field <= diag::VersionRecord::kFieldCount; ++field) {
        const std::size_t width = field <= widths.size() ? widths[field - 1] : 0;
        FUZZ_CHECK(parsed.Field(field).size() <= width);
    }
    // The first field is the payload's text up to its first NUL.
    const char* first = reinterpret_cast<const char*>(payload.data() + 1);
    const std::size_t available = std::min(widths[0], payload.size() - 1);
    FUZZ_CHECK(parsed.Field(1) == std::string(first, std::find(first, first + available, '\0')));

    // A correct frame that fits the receive buffer and arrives whole is
    // always taken, and read as the parser reads it.
    diag::VersionRecord record;
    const bool ok = diag::GetFourVersions(protocol, record);
    if (!whole || reply.size() > CPhoneProtocol::kReceiveSize) return;
    FUZZ_CHECK(ok);
    for (std::size_t field = 1; field <= diag::VersionRecord::kFieldCount; ++field) {
        FUZZ_CHECK(record.Field(field) == parsed.Field(field));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const fuzz::Delivery delivery(input.Byte());
    const std::uint8_t kept = input.Byte();
    fuzz::Bytes payload{0x39};  // the request's command code
    const fuzz::Bytes rest = input.Rest();
    payload.insert(payload.end(), rest.begin(), rest.end());
    const fuzz::Bytes shorter(payload.begin(), payload.begin() + 1 + static_cast<std::ptrdiff_t>(rest.size() * kept / 256));

    const fuzz::Bytes reply = fuzz::Frame(payload, false);
    const bool whole = delivery.pieceSize == 0 || delivery.pieceSize >= reply.size();

    fuzz::Line line({reply, fuzz::Frame(shorter, false)}, delivery);
    CPhoneProtocol protocol(line.clock, line.ports);
    FUZZ_CHECK(protocol.port.Open(fuzz::Line::kPort, 115200, 8, 1));
    Check(protocol, whole, payload);
    Check(protocol, whole, shorter);
    return 0;
}
