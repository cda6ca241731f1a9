#include "diag/diag_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>

#include "diag_test_support.h"

namespace {

// 40 41 ... BF: holds 7D and 7E, which must go out escaped.
const std::array<std::uint8_t, diag::kCheckBlockSize> kBlock = [] {
    std::array<std::uint8_t, diag::kCheckBlockSize> block{};
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(0x40 + i);
    return block;
}();
const std::array<std::uint8_t, diag::kChallengeAnswerSize> kAnswer = [] {
    std::array<std::uint8_t, diag::kChallengeAnswerSize> answer{};
    answer.fill(0x7E);
    return answer;
}();

std::uint32_t esn;
diag::SoftwareVersion version;
diag::VersionRecord record;
std::array<std::uint8_t, diag::kChallengeSize> challenge;

struct Request {
    const char* name;
    std::function<bool(CPhoneProtocol&)> run;
    Bytes payload;
    std::size_t attempts;
    std::uint32_t silentMs;  // how long a silent device keeps it waiting
    std::string failure;     // its sentence around the reason, if it has one
    Bytes goodReply;
};

const Request kRequests[] = {
    {"GetEsn", [](CPhoneProtocol& p) { return diag::GetEsn(p, esn); }, {0x01}, 1, 310,
     "Cannot Get the ESN Number of the Phone, Since ", {0x01, 1, 2, 3, 4}},
    {"GetSoftwareVersion", [](CPhoneProtocol& p) { return diag::GetSoftwareVersion(p, version); }, {0x7C}, 1, 310,
     "Cannot get software version from the mobile, Since ", {0x7C}},
    {"GetFourVersions", [](CPhoneProtocol& p) { return diag::GetFourVersions(p, record); }, {0x39}, 1, 5010,
     "Cannot get four software version from the mobile, Since ", {0x39}},
    {"ResetPhone", diag::ResetPhone, {0x29, 2, 0}, 1, 10010, "Cannot Reset the Phone, Since ", {0x29, 2, 0}},
    {"SetOffline", diag::SetOffline, {0x29, 1, 0}, 1, 10010, "Cannot Put the Phone Offline, Since ", {0x29, 1, 0}},
    {"SetOnline", diag::SetOnline, {0x29, 4, 0}, 1, 2010, "Cannot Put the Phone Offline, Since ", {0x29, 4, 0}},
    {"SwitchToDownloader", diag::SwitchToDownloader, {0x3A}, 1, 20010, "Cannot Switch to Downloader, Since ", {0x3A}},
    {"Request5C", diag::Request5C, {0x5C, 0x01, 0x00, 0xC2, 0x01, 0x00}, 1, 2010, "", {0x5C}},
    {"SendSpc", diag::SendSpc, Join({0x41}, Text(std::string(diag::kServiceProgrammingCode))), 1, 2010, "", {0x41}},
    {"PollSubsystemState", diag::PollSubsystemState, {0x4B, 0x04, 0x0E, 0x00}, 1, 2010, "", {0x4B, 4, 0x0E, 0, 0}},
    {"DownloadCheck", [](CPhoneProtocol& p) { return diag::DownloadCheck(p, kBlock, 0xA3); },
     Join({0x4B, 0xA3, 0x05, 0x00}, Bytes(kBlock.begin(), kBlock.end())), 3, 3 * 10010,
     "Cannot pass the download check, Since ", {0x4B, 0xA3, 0x05, 0x00, 0x00}},
    {"SetVendorFlag", [](CPhoneProtocol& p) { return diag::SetVendorFlag(p, 1); }, {0x4B, 0xAA, 0, 0, 1}, 1, 10010,
     "", {0x4B, 0xAA, 0, 0, 0}},
    {"SetAutorun", [](CPhoneProtocol& p) { return diag::SetAutorun(p, 0x7E); }, {0x4B, 0xA1, 0, 0, 0x7E}, 1, 10010,
     "Cannot Set Autorun , Since ", {0x4B, 0xA1, 0, 0, 0}},
    {"GetChallengeValue", [](CPhoneProtocol& p) { return diag::GetChallengeValue(p, challenge); },
     {0x4B, 0xA3, 0x06, 0x00}, 1, 1010, "Cannot get value from the mobile, Since ", {0x4B, 0xA3, 6, 0, 1, 2, 3, 4}},
    {"SendChallengeAnswer", [](CPhoneProtocol& p) { return diag::SendChallengeAnswer(p, kAnswer); },
     Join({0x4B, 0xA3, 0x07, 0x00}, Bytes(16, 0x7E)), 1, 1010, "Cannot get value from the mobile, Since ",
     {0x4B, 0xA3, 0x07, 0x00, 0x00}},
};

using DiagCommandsTest = DiagTest;

TEST_F(DiagCommandsTest, EveryRequestSendsItsPayloadWaitsItsTimeoutAndNamesItsFailure)
{
    for (const Request& request : kRequests) {
        SCOPED_TRACE(request.name);
        const std::size_t writesBefore = wire->HostWrites().size();
        const std::uint32_t start = Elapsed();
        EXPECT_FALSE(request.run(protocol));
        EXPECT_EQ(Elapsed() - start, request.silentMs);
        EXPECT_EQ(wire->HostWrites().size() - writesBefore, request.attempts);
        EXPECT_EQ(LastSentPayload(), request.payload);
        EXPECT_EQ(protocol.lastError, request.failure + kNoReply);

        device.Then(DeviceFrame(request.goodReply));
        EXPECT_TRUE(request.run(protocol));
    }
}

TEST_F(DiagCommandsTest, EsnIsLittleEndianAndAllOnesOnFailure)
{
    device.Then(DeviceFrame({0x01, 0x78, 0x56, 0x34, 0x12}));
    ASSERT_TRUE(diag::GetEsn(protocol, esn));
    EXPECT_EQ(esn, 0x12345678u);
    EXPECT_EQ(wire->HostWrites().back(), (Bytes{0x01, 0xF1, 0xE1, 0x7E}));

    const std::pair<std::uint8_t, std::string> errors[] = {
        {0x13, "Bad command"},
        {0x47, "the correct Security Password has not yet been entered to unlock the phone"},
        {0x99, "unknow reason"},
    };
    for (const auto& [code, text] : errors) {
        device.Then(DeviceFrame({code, 0x01, 0x00, 0x00, 0x00}));
        EXPECT_FALSE(diag::GetEsn(protocol, esn));
        EXPECT_EQ(esn, 0xFFFFFFFFu);
        EXPECT_EQ(protocol.lastError, "Cannot Get the ESN Number of the Phone, Since " + text);
    }
}

TEST_F(DiagCommandsTest, ShortRepliesGiveWhatCameAndZerosNeverAnEarlierReply)
{
    device.Then(DeviceFrame(Join(Bytes(12, 0x7C), Bytes(256, 'Z'))));
    ASSERT_TRUE(diag::GetSoftwareVersion(protocol, version));
    EXPECT_EQ(version.Text(), std::string(256, 'Z'));
    device.Then(DeviceFrame(Join(Bytes(12, 0x7C), Text("V1.2"))));
    ASSERT_TRUE(diag::GetSoftwareVersion(protocol, version));
    EXPECT_EQ(version.Text(), "V1.2");
    EXPECT_EQ(std::count(version.bytes, version.bytes + 256, '\0'), 252);  // the reply's CRC is not data

    device.Then(DeviceFrame(Join({0x39}, Bytes(300, 'x'))));
    ASSERT_TRUE(diag::GetFourVersions(protocol, record));
    device.Then(DeviceFrame(Join({0x39}, Text("ABC"))));
    ASSERT_TRUE(diag::GetFourVersions(protocol, record));
    diag::VersionRecord expected, empty;
    std::memcpy(expected.fields[0], "ABC", 3);
    EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0);

    EXPECT_FALSE(diag::GetFourVersions(protocol, record));
    EXPECT_EQ(std::memcmp(&record, &empty, sizeof record), 0);
    EXPECT_FALSE(diag::GetSoftwareVersion(protocol, version));
    EXPECT_EQ(std::count(version.bytes, version.bytes + 256, '\0'), 256);
}

// A four-versions reply of `fields`, each followed by a zero separator when
// asked, padded so that exactly `rawLength` bytes go over the wire.
Bytes VersionsReply(const std::vector<std::string>& fields, std::size_t rawLength, bool separators)
{
    Bytes payload{0x39};
    for (const std::string& field : fields) {
        payload = Join(payload, Text(field));
        if (separators) payload.push_back(0);
    }
    while (DeviceFrame(payload).size() < rawLength) payload.push_back('p');
    return DeviceFrame(payload);
}

TEST_F(DiagCommandsTest, FourVersionsLayoutFollowsTheRawReplyLength)
{
    const std::string a(30, 'a'), b(30, 'b'), c(30, 'c'), d(30, 'd'), e(30, 'e'), f(30, 'f'), g(30, 'g'),
        h(30, 'h'), product(31, 'P');
    struct Case {
        std::vector<std::string> sent;
        std::size_t rawLength;
        bool separators;
        std::vector<std::string> expected;
    } const cases[] = {
        {{a.substr(8), b.substr(8), c.substr(6), d.substr(6)}, 130, true,
         {a.substr(8), b.substr(8), c.substr(6), d.substr(6), "", "", "", "", ""}},
        {{a, b, c, d}, 131, false, {a, b, c, d, "", "", "", "", ""}},  // the separator is optional
        {{a, b, c, d, e, f, g}, 240, true, {a, b, c, d, "", "", "", "", ""}},
        {{a, b, c, d, e, f, g, h, product}, 290, true, {a, b, c, d, e, f, g, h, ""}},
        {{a, b, c, d, e, f, g, h, product}, 291, true, {a, b, c, d, e, f, g, h, product}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.rawLength);
        device.Then(VersionsReply(test.sent, test.rawLength, test.separators));
        ASSERT_TRUE(diag::GetFourVersions(protocol, record));
        ASSERT_EQ(protocol.rawReplyLength, test.rawLength);
        std::vector<std::string> fields;
        for (std::size_t number = 1; number <= 9; ++number) fields.push_back(record.Field(number));
        EXPECT_EQ(fields, test.expected);
    }
}

// Replies that arrive but are cut short or refuse fail; only the download
// check's known results name a reason, the others leave the earlier one.
TEST_F(DiagCommandsTest, CutOrRefusingRepliesFail)
{
    const std::string before = "earlier reason";
    const std::string check = "Cannot pass the download check, Since ";
    const auto downloadCheck = [&] { return diag::DownloadCheck(protocol, kBlock, 0xA3); };
    const auto subsystemState = [&] { return diag::PollSubsystemState(protocol); };
    const struct {
        std::function<bool()> run;
        Bytes raw;
        std::string error;
    } cases[] = {
        {subsystemState, DeviceFrame({0x4B, 0x04, 0x0E, 0x00, 0x01}), before},
        {subsystemState, DeviceFrame({0x4B, 0x04, 0x0E, 0x00}), before},  // cut before the state
        {downloadCheck, DeviceFrame({0x4B, 0xA3, 0x05, 0x00, 0x01}), check + "public key error"},
        {downloadCheck, DeviceFrame({0x4B, 0xA3, 0x05, 0x00, 0x02}), check + "main ver error"},
        {downloadCheck, DeviceFrame({0x4B, 0xA3, 0x05, 0x00, 0x03}), check + "compare ver error"},
        {downloadCheck, DeviceFrame({0x4B, 0xA3, 0x05, 0x00, 0x04}), before},
        {downloadCheck, DeviceFrame({0x4B, 0xA4, 0x05, 0x00, 0x00}), before},
        {downloadCheck, {0x4B, 0xA3, 0x05, 0x00}, before},  // the result byte never came
        {[&] { return diag::SetVendorFlag(protocol, 0); }, {0x4B, 0xAA, 0x00, 0x00}, before},  // status never came
        {[&] { return diag::SetAutorun(protocol, 1); }, DeviceFrame({0x4B, 0xAA, 0x00, 0x00, 0x00}), before},
        {[&] { return diag::SendChallengeAnswer(protocol, kAnswer); }, DeviceFrame({0x4B, 0xA3, 0x07, 0x00, 0x02}),
         before},
    };
    for (const auto& c : cases) {
        protocol.lastError = before;
        device.Then(c.raw);
        EXPECT_FALSE(c.run());
        EXPECT_EQ(protocol.lastError, c.error);
    }
    EXPECT_EQ(wire->HostWrites().size(), std::size(cases));  // an answer is never retried
}

TEST_F(DiagCommandsTest, ChallengeValueIsReadUnescaped)
{
    const Bytes value{0x7E, 0x11, 0x7D, 0x22, 0x5E, 0x7D, 0x7E, 0x33};
    device.Then(DeviceFrame(Join({0x4B, 0xA3, 0x06, 0x00}, value)));
    ASSERT_TRUE(diag::GetChallengeValue(protocol, challenge));
    EXPECT_EQ(Bytes(challenge.begin(), challenge.end()), value);

    protocol.lastError = "earlier reason";
    device.Then(DeviceFrame({0x4B, 0xA3, 0x07, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(diag::GetChallengeValue(protocol, challenge));
    EXPECT_EQ(Bytes(challenge.begin(), challenge.end()), Bytes(8, 0));
    EXPECT_EQ(protocol.lastError, "earlier reason");
}

TEST_F(DiagCommandsTest, PortSwitchIsPlainTextAnsweredInAnyCase)
{
    device.Then(Text("at$qcdmg\r\r\nok\r\n"));
    EXPECT_TRUE(diag::SwitchPortToDiag(protocol));
    EXPECT_EQ(wire->HostWrites().back(), Text("AT$QCDMG\r"));

    device.Then(Text("AT$QCDMG\r\r\nOK\r"));
    EXPECT_FALSE(diag::SwitchPortToDiag(protocol));
    device.Then(Text("AT$QCDMG\r\r\nERROR\r\n"));
    EXPECT_FALSE(diag::SwitchPortToDiag(protocol));
}

TEST_F(DiagCommandsTest, CommunicationFallsBackToThePortSwitchThenAsksAgain)
{
    device.ThenSilence();
    device.Then(Text("AT$QCDMG\r\r\nOK\r\n"));
    EXPECT_TRUE(diag::CheckCommunication(protocol));
    EXPECT_EQ(wire->HostWrites().size(), 2u);

    device.ThenSilence();
    device.ThenSilence();
    device.Then(DeviceFrame({0x01, 1, 2, 3, 4}));
    EXPECT_TRUE(diag::CheckCommunication(protocol));
    EXPECT_EQ(wire->HostWrites().size(), 5u);

    EXPECT_FALSE(diag::CheckCommunication(protocol));
    EXPECT_EQ(protocol.lastError,
              "Cannot communicate with the mobile, Since Cannot Get the ESN Number of the Phone, Since " + kNoReply);
}

}  // namespace
