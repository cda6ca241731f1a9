// Device replies to DIAG requests and to the raw vendor requests. Input: one
// byte naming two reply parsers (low and high nibble), a delivery byte, then
// the reply. Both parsers read the same bytes, as received and unframed; the
// ESN request then takes the reply through the packet engine.
#include <algorithm>
#include <array>
#include <initializer_list>

#include "diag/diag_commands.h"
#include "diag/nv_items.h"
#include "fuzz_support.h"

namespace {

bool StartsWith(const fuzz::Bytes& bytes, std::initializer_list<std::uint8_t> header)
{
    return bytes.size() >= header.size() && std::equal(header.begin(), header.end(), bytes.begin());
}

fuzz::Bytes Unescaped(const fuzz::Bytes& raw)
{
    fuzz::Bytes out;
    frame::AppendUnescaped(raw.data(), raw.size(), out);
    return out;
}

void Parse(std::uint8_t which, const fuzz::Bytes& raw, const fuzz::Bytes& payload)
{
    switch (which) {
    case 0:
        if (payload.size() >= 5) {
            FUZZ_CHECK(diag::ParseEsn(payload) == static_cast<std::uint32_t>(payload[1] | payload[2] << 8 | payload[3] << 16) +
                                                     (static_cast<std::uint32_t>(payload[4]) << 24));
        }
        break;
    case 1: FUZZ_CHECK(diag::ParseSoftwareVersion(payload).Text().size() <= diag::SoftwareVersion::kSize); break;
    case 2: {
        const diag::VersionRecord record = diag::ParseFourVersions(payload, raw.size());
        for (std::size_t field = 1; field <= diag::VersionRecord::kFieldCount; ++field) {
            FUZZ_CHECK(record.Field(field).size() <= diag::VersionRecord::kFieldSize);
        }
        break;
    }
    case 3: {
        const auto parsed = diag::ParseNvReply(payload);
        FUZZ_CHECK(static_cast<bool>(parsed) == (payload.size() >= 1 + diag::kNvRecordSize));
        if (parsed) FUZZ_CHECK(std::equal(parsed.value->data.begin(), parsed.value->data.end(), payload.begin() + 3));
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
        const Verdict verdict = diag::ParseDownloadCheck(raw, 0xA3);
        if (verdict) FUZZ_CHECK(StartsWith(Unescaped(raw), {0x4B, 0xA3, 0x05, 0x00, 0x00}) && verdict.reason.empty());
        break;
    }
    case 7:
        if (diag::ParseVendorAck(raw, 0xAA, 0x00)) FUZZ_CHECK(StartsWith(raw, {0x4B, 0xAA, 0x00, 0x00, 0x00}));
        break;
    default: FUZZ_CHECK(!diag::ErrorReplyText(raw.empty() ? 0 : raw[0]).empty()); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t parsers = input.Byte();
    const fuzz::Delivery delivery(input.Byte());
    const fuzz::Bytes raw = delivery.Encode(input.Rest());

    const Parsed<fuzz::Bytes> unframed = UnframeReply(ProtocolMode::Diag, raw);
    if (unframed) {
        FUZZ_CHECK(unframed.value->size() + 3 <= raw.size());
    } else {
        FUZZ_CHECK(!unframed.reason.empty());
    }
    const fuzz::Bytes payload = unframed ? *unframed.value : fuzz::Bytes{};
    Parse(parsers & 0x0F, raw, payload);
    Parse(parsers >> 4, raw, payload);

    fuzz::Line line({raw}, delivery);
    CPhoneProtocol protocol(line.clock, line.ports);
    FUZZ_CHECK(protocol.port.Open(fuzz::Line::kPort, 115200, 8, 1));
    std::uint32_t esn = 0;
    if (diag::GetEsn(protocol, esn)) {
        FUZZ_CHECK(protocol.LastError().empty());
    } else {
        FUZZ_CHECK(esn == 0xFFFFFFFF && !protocol.LastError().empty());
        const int failure = static_cast<int>(protocol.LastFailure());
        FUZZ_CHECK(failure >= 1 && failure <= 6);
    }
    return 0;
}
