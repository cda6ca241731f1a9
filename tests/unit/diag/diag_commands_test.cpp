#include "diag/diag_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>

#include "diag_test_support.h"

namespace {

// 40 41 ... BF: holds 7D and 7E, which must go out escaped.
const std::array<std::uint8_t, diag::kCheckBlockSize> kBlock = [] {
    std::array<std::uint8_t, diag::kCheckBlockSize> block{};
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(0x40 + i);
    return block;
}();
const auto kAnswer = [] {
    std::array<std::uint8_t, diag::kChallengeAnswerSize> answer;
    answer.fill(0x7E);
    return answer;
}();

std::uint32_t esn;
diag::SoftwareVersion version;
diag::VersionRecord record;
std::array<std::uint8_t, diag::kChallengeSize> challenge;

struct Request {
    const char* name;
    std::function<StepResult(CPhoneProtocol&)> run;
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
    {"SendSpc", diag::SendSpc, Concat({{0x41}, Text(diag::kServiceProgrammingCode)}), 1, 2010, "", {0x41}},
    {"PollSubsystemState", diag::PollSubsystemState, {0x4B, 0x04, 0x0E, 0x00}, 1, 2010, "", {0x4B, 4, 0x0E, 0, 0}},
    {"DownloadCheck", [](CPhoneProtocol& p) { return diag::DownloadCheck(p, kBlock, 0xA3); },
     Concat({{0x4B, 0xA3, 0x05, 0x00}, Bytes(kBlock.begin(), kBlock.end())}), 3, 3 * 10010,
     "Cannot pass the download check, Since ", {0x4B, 0xA3, 0x05, 0x00, 0x00}},
    {"SetVendorFlag", [](CPhoneProtocol& p) { return diag::SetVendorFlag(p, 1); }, {0x4B, 0xAA, 0, 0, 1}, 1, 10010,
     "", {0x4B, 0xAA, 0, 0, 0}},
    {"SetAutorun", [](CPhoneProtocol& p) { return diag::SetAutorun(p, 0x7E); }, {0x4B, 0xA1, 0, 0, 0x7E}, 1, 10010,
     "Cannot Set Autorun , Since ", {0x4B, 0xA1, 0, 0, 0}},
    {"GetChallengeValue", [](CPhoneProtocol& p) { return diag::GetChallengeValue(p, challenge); },
     {0x4B, 0xA3, 0x06, 0x00}, 1, 1010, "Cannot get value from the mobile, Since ", {0x4B, 0xA3, 6, 0, 1, 2, 3, 4}},
    {"SendChallengeAnswer", [](CPhoneProtocol& p) { return diag::SendChallengeAnswer(p, kAnswer); },
     Concat({{0x4B, 0xA3, 0x07, 0x00}, Bytes(16, 0x7E)}), 1, 1010, "Cannot get value from the mobile, Since ",
     {0x4B, 0xA3, 0x07, 0x00, 0x00}},
};

using DiagCommandsTest = DiagTest;

TEST_F(DiagCommandsTest, EveryRequestSendsItsPayloadWaitsItsTimeoutAndNamesItsFailure)
{
    for (const Request& request : kRequests) {
        SCOPED_TRACE(request.name);
        const std::size_t writesBefore = wire->HostWrites().size();
        const std::uint32_t start = Elapsed();
        const StepResult silent = request.run(protocol);
        EXPECT_FALSE(silent);
        EXPECT_EQ(Elapsed() - start, request.silentMs);
        EXPECT_EQ(wire->HostWrites().size() - writesBefore, request.attempts);
        EXPECT_EQ(LastSentPayload(), request.payload);
        EXPECT_EQ(silent.Reason(), request.failure + kNoReply);
        EXPECT_EQ(protocol.LastError(), silent.Reason());

        device.Then(DeviceFrame(request.goodReply));
        EXPECT_TRUE(request.run(protocol));
        EXPECT_EQ(protocol.LastError(), "");
    }
}

TEST_F(DiagCommandsTest, ErrorRepliesNameTheirReasonInTheOperationsSentence)
{
    const std::pair<std::uint8_t, std::string> errors[] = {
        {0x47, "the correct Security Password has not yet been entered to unlock the phone"},
    };
    for (const auto& [code, text] : errors) {
        device.Then(DeviceFrame({code, 0x01, 0x00, 0x00, 0x00}));
        EXPECT_FALSE(diag::GetEsn(protocol, esn));
        EXPECT_EQ(esn, 0xFFFFFFFFu);
        EXPECT_EQ(protocol.LastError(), "Cannot Get the ESN Number of the Phone, Since " + text);
    }
}

TEST(DiagParsers, ShortRepliesGiveWhatCameAndZerosNeverMore)
{
    EXPECT_EQ(diag::ParseEsn(Bytes{0x01, 0x78, 0x56, 0x34, 0x12}), 0x12345678u);
    EXPECT_EQ(diag::ParseEsn(Bytes{0x01, 0x78}), 0x78u);

    EXPECT_EQ(diag::ParseSoftwareVersion(Concat({Bytes(12, 0x7C), Bytes(300, 'Z')})).Text(), std::string(256, 'Z'));
    const diag::SoftwareVersion version = diag::ParseSoftwareVersion(Concat({Bytes(12, 0x7C), Text("V1.2")}));
    EXPECT_EQ(version.Text(), "V1.2");
    EXPECT_EQ(std::count(version.bytes, version.bytes + 256, '\0'), 252);
}

// A four-versions reply of `fields`, each followed by a zero separator when
// asked.
Bytes VersionsReply(const std::vector<std::string>& fields, bool separators)
{
    Bytes payload{0x39};
    for (const std::string& field : fields) {
        payload = Concat({payload, Text(field)});
        if (separators) payload.push_back(0);
    }
    return payload;
}

TEST(DiagParsers, FourVersionsLayoutFollowsTheRawReplyLength)
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
        {{a, b, c, d, e, f, g, h, product}, 291, true, {a, b, c, d, e, f, g, h, product}},
        {{"ABC"}, 291, false, {"ABC", "", "", "", "", "", "", "", ""}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.rawLength);
        const diag::VersionRecord record = diag::ParseFourVersions(VersionsReply(test.sent, test.separators), test.rawLength);
        std::vector<std::string> fields;
        for (std::size_t number = 1; number <= 9; ++number) fields.push_back(record.Field(number));
        EXPECT_EQ(fields, test.expected);
        EXPECT_TRUE(std::all_of(record.spare, record.spare + sizeof record.spare, [](char ch) { return ch == 0; }));
    }
}

// Vendor replies come as received; only the download check's known results
// name a reason.
TEST(DiagParsers, VendorRepliesAreJudgedByHeaderAndResult)
{
    const std::string none;
    const struct {
        Bytes raw;
        std::uint8_t subsystem;
        bool passed;
        std::string reason;
    } checks[] = {
        {DeviceFrame({0x4B, 0xA3, 0x05, 0x00, 0x00}), 0xA3, true, none},
        {DeviceFrame({0x4B, 0xA3, 0x05, 0x00, 0x02}), 0xA3, false, "main ver error"},
        {DeviceFrame({0x4B, 0xA3, 0x05, 0x00, 0x04}), 0xA3, false, none},
        // An escaped header byte is read unescaped, and the result behind it.
        {DeviceFrame({0x4B, 0x7D, 0x05, 0x00, 0x02}), 0x7D, false, "main ver error"},
        {DeviceFrame({0x4B, 0x7E, 0x05, 0x00, 0x00}), 0x7E, true, none},
    };
    for (const auto& c : checks) {
        const StepResult verdict = diag::ParseDownloadCheck(c.raw, c.subsystem);
        EXPECT_EQ(static_cast<bool>(verdict), c.passed) << c.reason;
        EXPECT_EQ(verdict.Reason(), c.reason);
    }
}

// A reply of the wrong form fails without a reason: never with the reason
// of an earlier failure, and the answer is never retried.
TEST_F(DiagCommandsTest, RefusingRepliesFailWithoutAnEarlierReason)
{
    const std::function<StepResult()> runs[] = {
        [&] { return diag::PollSubsystemState(protocol); },
        [&] { return diag::DownloadCheck(protocol, kBlock, 0xA3); },
        [&] { return diag::SetVendorFlag(protocol, 0); },
        [&] { return diag::GetChallengeValue(protocol, challenge); },
    };
    for (const auto& run : runs) {
        ASSERT_FALSE(diag::GetEsn(protocol, esn));
        device.Then(DeviceFrame({0x4B, 0xBB, 0x00, 0x00, 0x01}));
        const std::size_t writes = wire->HostWrites().size();
        EXPECT_FALSE(run());
        EXPECT_EQ(protocol.LastError(), "");
        EXPECT_EQ(wire->HostWrites().size(), writes + 1);
    }
    EXPECT_EQ(Bytes(challenge.begin(), challenge.end()), Bytes(8, 0));
}

// The port switch is plain text, answered in any case.
TEST_F(DiagCommandsTest, CommunicationFallsBackToThePortSwitchThenAsksAgain)
{
    device.ThenSilence();
    device.Then(Text("at$qcdmg\r\r\nok\r\n"));
    EXPECT_TRUE(diag::CheckCommunication(protocol));
    EXPECT_EQ(wire->HostWrites(), (std::vector<Bytes>{DeviceFrame({0x01}), Text("AT$QCDMG\r")}));
    for (const char* refused : {"AT$QCDMG\r\r\nOK\r", "AT$QCDMG\r\r\nERROR\r\n"}) {
        device.Then(Text(refused));
        EXPECT_FALSE(diag::SwitchPortToDiag(protocol)) << refused;
    }

    device.ThenSilence();
    device.ThenSilence();
    device.Then(DeviceFrame({0x01, 1, 2, 3, 4}));
    EXPECT_TRUE(diag::CheckCommunication(protocol));
    EXPECT_EQ(wire->HostWrites().size(), 7u);

    EXPECT_FALSE(diag::CheckCommunication(protocol));
    EXPECT_EQ(protocol.LastError(),
              "Cannot communicate with the mobile, Since Cannot Get the ESN Number of the Phone, Since " + kNoReply);
}

}  // namespace
