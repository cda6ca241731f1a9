// Device replies to DIAG requests and to the raw vendor requests. Input: one
// byte naming two reply parsers (low and high nibble), a framing byte, then
// the reply. Both parsers read the same bytes, as received and unframed.
#include <algorithm>
#include <array>
#include <initializer_list>
#include <string>

#include "diag/diag_commands.h"
#include "diag/nv_items.h"
#include "fuzz_support.h"

namespace {

FUZZ_HARNESS bool StartsWith(fuzz::View bytes, std::initializer_list<std::uint8_t> header)
{
    return bytes.size() >= header.size() && std::equal(header.begin(), header.end(), bytes.begin());
}

FUZZ_HARNESS fuzz::Bytes Unescaped(fuzz::View raw)
{
    fuzz::Bytes out;
    frame::AppendUnescaped(raw.data(), raw.size(), out);
    return out;
}

// The width of field `field` (1 to 9) by raw reply length, as the device
// generations send them; 0 where a layout has no such field.
FUZZ_HARNESS std::size_t Width(std::size_t rawLength, std::size_t field)
{
    if (rawLength < 131) return field <= 2 ? 22 : field <= 4 ? 24 : 0;
    if (rawLength <= 240) return field <= 4 ? 30 : 0;
    return field <= 8 ? 30 : rawLength > 290 ? 31 : 0;
}

FUZZ_HARNESS void CheckFourVersions(fuzz::View raw, fuzz::View payload)
{
    const diag::VersionRecord record = diag::ParseFourVersions(payload, raw.size());
    for (std::size_t field = 1; field <= diag::VersionRecord::kFieldCount; ++field) {
        FUZZ_CHECK(record.Field(field).size() <= Width(raw.size(), field));
    }
    // The first field is the payload's text after its code, up to a NUL.
    if (payload.empty()) return;
    const char* first = reinterpret_cast<const char*>(payload.data() + 1);
    const std::size_t available = std::min(Width(raw.size(), 1), payload.size() - 1);
    FUZZ_CHECK(record.Field(1) == std::string(first, std::find(first, first + available, '\0')));
}

FUZZ_HARNESS void Parse(std::uint8_t which, fuzz::View raw, fuzz::View payload)
{
    switch (which) {
    case 0:
        if (payload.size() >= 5) {
            FUZZ_CHECK(diag::ParseEsn(payload) == static_cast<std::uint32_t>(payload[1] | payload[2] << 8 | payload[3] << 16) +
                                                     (static_cast<std::uint32_t>(payload[4]) << 24));
        }
        break;
    case 1: FUZZ_CHECK(diag::ParseSoftwareVersion(payload).Text().size() <= diag::SoftwareVersion::kSize); break;
    case 2: CheckFourVersions(raw, payload); break;
    case 3: {
        const auto parsed = diag::ParseNvReply(payload);
        FUZZ_CHECK(static_cast<bool>(parsed) == (payload.size() >= 1 + diag::kNvRecordSize));
        if (parsed) FUZZ_CHECK(std::equal(parsed->data.begin(), parsed->data.end(), payload.begin() + 3));
        break;
    }
    case 4:
        if (diag::ParseSubsystemState(payload)) FUZZ_CHECK(payload.size() > 4 && payload[4] == 0);
        break;
    case 5: {
        const auto value = diag::ParseChallengeValue(raw);
        if (value) FUZZ_CHECK(StartsWith(Unescaped(raw), {0x4B, 0xA3, 0x06, 0x00}));
        break;
    }
    case 6: {
        const StepResult verdict = diag::ParseDownloadCheck(raw, 0xA3);
        if (verdict) FUZZ_CHECK(StartsWith(Unescaped(raw), {0x4B, 0xA3, 0x05, 0x00, 0x00}) && verdict.Reason().empty());
        break;
    }
    case 7:
        if (diag::ParseVendorAck(raw, 0xAA, 0x00)) FUZZ_CHECK(StartsWith(raw, {0x4B, 0xAA, 0x00, 0x00, 0x00}));
        break;
    default: FUZZ_CHECK(!diag::ErrorReplyText(raw.empty() ? 0 : raw[0]).empty()); break;
    }
}

}  // namespace

extern "C" FUZZ_HARNESS int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t parsers = input.Byte();
    static fuzz::Bytes framed;
    const fuzz::View raw = fuzz::Delivery(input.Byte()).Encode(input.Rest(), framed);

    const Result<fuzz::Bytes> unframed = UnframeReply(ProtocolMode::Diag, raw);
    const fuzz::View payload = unframed ? fuzz::View(*unframed) : fuzz::View{};
    Parse(parsers & 0x0F, raw, payload);
    Parse(parsers >> 4, raw, payload);
    return 0;
}
