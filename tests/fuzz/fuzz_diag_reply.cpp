// Device replies to DIAG requests and to the raw vendor requests. Input: one
// byte naming two requests (low and high nibble), a delivery byte, then the
// reply, which answers both requests on the same protocol object so that a
// reply's fields meet what the one before left behind.
#include <algorithm>
#include <array>
#include <initializer_list>

#include "diag/diag_commands.h"
#include "diag/nv_items.h"
#include "fuzz_support.h"

namespace {

template <typename T>
bool AllZero(const T& object)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&object);
    return std::all_of(bytes, bytes + sizeof object, [](std::uint8_t byte) { return byte == 0; });
}

// The raw reply begins with `header`: what a vendor request's success means.
bool RawStartsWith(const CPhoneProtocol& protocol, std::initializer_list<std::uint8_t> header)
{
    return protocol.rawReplyLength >= header.size() && std::equal(header.begin(), header.end(), protocol.rx);
}

void Request(CPhoneProtocol& protocol, std::uint8_t which)
{
    switch (which) {
    case 0: {
        std::uint32_t esn = 0;
        if (diag::GetEsn(protocol, esn)) {
            FUZZ_CHECK(protocol.reply[0] == 0x01);
        } else {
            FUZZ_CHECK(esn == 0xFFFFFFFF);
        }
        break;
    }
    case 1: {
        diag::SoftwareVersion version;
        if (!diag::GetSoftwareVersion(protocol, version)) FUZZ_CHECK(AllZero(version.bytes));
        FUZZ_CHECK(version.Text().size() <= diag::SoftwareVersion::kSize);
        break;
    }
    case 2: {
        diag::VersionRecord record;
        if (!diag::GetFourVersions(protocol, record)) FUZZ_CHECK(AllZero(record));
        for (std::size_t field = 1; field <= diag::VersionRecord::kFieldCount; ++field) {
            FUZZ_CHECK(record.Field(field).size() <= diag::VersionRecord::kFieldSize);
        }
        break;
    }
    case 3: {
        std::array<std::uint8_t, diag::kNvDataSize> data;
        data.fill(0xA5);
        std::uint16_t status = 0;
        if (diag::NvRead(protocol, 0x0226, data, status)) {
            FUZZ_CHECK(status == diag::NV_DONE_S);
        } else {
            FUZZ_CHECK(AllZero(data));
        }
        break;
    }
    case 4: {
        const std::array<std::uint8_t, diag::kNvDataSize> data{0x7E, 0x7D};
        std::uint16_t status = 0;
        if (diag::NvWrite(protocol, 0x0226, data, status)) FUZZ_CHECK(status == diag::NV_DONE_S);
        break;
    }
    case 5:
        if (diag::PollSubsystemState(protocol)) {
            FUZZ_CHECK(protocol.rxPayloadLength > diag::kReplySubsystemState &&
                       protocol.reply[diag::kReplySubsystemState] == 0);
        }
        break;
    case 6: diag::SetOffline(protocol); break;
    case 7: diag::SendSpc(protocol); break;
    case 8: diag::Request5C(protocol); break;
    case 9: diag::SwitchToDownloader(protocol); break;
    case 10: {
        std::array<std::uint8_t, diag::kChallengeSize> value;
        value.fill(0xA5);
        if (!diag::GetChallengeValue(protocol, value)) FUZZ_CHECK(AllZero(value));
        break;
    }
    case 11: {
        const std::array<std::uint8_t, diag::kCheckBlockSize> block{0x2C, 0x1A, 0xBE, 0x6E};
        if (diag::DownloadCheck(protocol, block, 0xA3)) FUZZ_CHECK(RawStartsWith(protocol, {0x4B, 0xA3, 0x05, 0x00, 0x00}));
        break;
    }
    case 12:
        if (diag::SetVendorFlag(protocol, 1)) FUZZ_CHECK(RawStartsWith(protocol, {0x4B, 0xAA, 0x00, 0x00, 0x00}));
        break;
    case 13:
        if (diag::SetAutorun(protocol, 0)) FUZZ_CHECK(RawStartsWith(protocol, {0x4B, 0xA1, 0x00, 0x00, 0x00}));
        break;
    case 14: {
        const std::array<std::uint8_t, diag::kChallengeAnswerSize> answer{};
        if (diag::SendChallengeAnswer(protocol, answer)) FUZZ_CHECK(RawStartsWith(protocol, {0x4B, 0xA3, 0x07, 0x00, 0x00}));
        break;
    }
    case 15: diag::SwitchPortToDiag(protocol); break;
    }
    FUZZ_CHECK(protocol.rawReplyLength <= CPhoneProtocol::kReceiveSize);
    FUZZ_CHECK(protocol.rxPayloadLength <= CPhoneProtocol::kReceiveSize);
    FUZZ_CHECK(protocol.LastFailureCode() >= 0 && protocol.LastFailureCode() <= 6);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t requests = input.Byte();
    const fuzz::Delivery delivery(input.Byte());
    fuzz::Line line({delivery.Encode(input.Rest())}, delivery);
    CPhoneProtocol protocol;
    protocol.port.Open(fuzz::Line::kPort, 115200, 8, 1);

    Request(protocol, requests & 0x0F);
    Request(protocol, requests >> 4);
    return 0;
}
