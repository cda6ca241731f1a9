// The DIAG requests, the NV items and the AT channel against the simulated
// modem's normal software.
#include <gtest/gtest.h>

#include <array>

#include "diag/diag_commands.h"
#include "diag/nv_items.h"
#include "link/md5.h"
#include "sim_fixture.h"

namespace {

class DiagSimTest : public SimTest {
protected:
    void SetUp() override { ASSERT_TRUE(OpenDiag()); }
};

TEST_F(DiagSimTest, ReadsEsnAndVersionsWithTheProductText)
{
    std::uint32_t esn = 0;
    ASSERT_TRUE(diag::GetEsn(protocol, esn));
    EXPECT_EQ(esn, 0x12345678u);

    diag::VersionRecord record{};
    ASSERT_TRUE(diag::GetFourVersions(protocol, record));
    EXPECT_STREQ(record.fields[0], "M6280A-KCDRUN-1.0.0");
    EXPECT_STREQ(record.fields[8], "BEL_MD_LR520S");
    EXPECT_EQ(protocol.rawReplyLength, 291u);
}

TEST_F(DiagSimTest, ShortVersionRepliesUseTheNarrowLayouts)
{
    std::string error;
    ASSERT_TRUE(modem.faults().Parse("versionslength:130", error));
    diag::VersionRecord record{};
    ASSERT_TRUE(diag::GetFourVersions(protocol, record));
    EXPECT_EQ(protocol.rawReplyLength, 130u);
    EXPECT_STREQ(record.fields[0], "M6280A-KCDRUN-1.0.0");
    EXPECT_STREQ(record.fields[3], "NV-2.3");
    for (std::size_t i = 4; i < 9; ++i) EXPECT_STREQ(record.fields[i], "") << "field " << i + 1;

    modem.faults().versionsRawLength = 131;
    ASSERT_TRUE(diag::GetFourVersions(protocol, record));
    EXPECT_EQ(protocol.rawReplyLength, 131u);
    EXPECT_STREQ(record.fields[1], "HW-B01");
    EXPECT_STREQ(record.fields[8], "");
}

TEST_F(DiagSimTest, DiagErrorRepliesAreNamed)
{
    std::string error;
    ASSERT_TRUE(modem.faults().Parse("esn=diagerror:0x13*1", error));
    ASSERT_TRUE(modem.faults().Parse("esn=diagerror:0x47*1", error));
    ASSERT_TRUE(modem.faults().Parse("esn=diagerror:0x99*1", error));
    std::uint32_t esn = 0;
    EXPECT_FALSE(diag::GetEsn(protocol, esn));
    EXPECT_EQ(esn, 0xFFFFFFFFu);
    EXPECT_EQ(protocol.lastError, "Cannot Get the ESN Number of the Phone, Since Bad command");
    EXPECT_FALSE(diag::GetEsn(protocol, esn));
    EXPECT_EQ(protocol.lastError,
              "Cannot Get the ESN Number of the Phone, Since the correct Security Password has not yet been entered to "
              "unlock the phone");
    EXPECT_FALSE(diag::GetEsn(protocol, esn));
    EXPECT_EQ(protocol.lastError, "Cannot Get the ESN Number of the Phone, Since unknow reason");
    EXPECT_TRUE(diag::GetEsn(protocol, esn));
}

TEST_F(DiagSimTest, DownloadCheckResultTwoIsAMainVersionError)
{
    std::array<std::uint8_t, 128> block{0x2C, 0x1A, 0xBE, 0x6E};
    EXPECT_TRUE(diag::DownloadCheck(protocol, block, 0xA3));
    modem.faults().downloadCheckResult = 2;
    EXPECT_FALSE(diag::DownloadCheck(protocol, block, 0xA3));
    EXPECT_EQ(protocol.lastError, "Cannot pass the download check, Since main ver error");
}

TEST_F(DiagSimTest, PlainSwitchAcceptsALowerCaseEcho)
{
    std::string error;
    ASSERT_TRUE(modem.faults().Parse("qcdmg=lowercase*1", error));
    EXPECT_TRUE(diag::SwitchPortToDiag(protocol));
    EXPECT_TRUE(diag::SwitchPortToDiag(protocol));
    ASSERT_TRUE(modem.faults().Parse("qcdmg=silent*1", error));
    EXPECT_FALSE(diag::SwitchPortToDiag(protocol));
}

TEST_F(DiagSimTest, CheckCommunicationStopsAtTheSwitch)
{
    std::string error;
    ASSERT_TRUE(modem.faults().Parse("esn=silent*1", error));
    EXPECT_TRUE(diag::CheckCommunication(protocol));
    EXPECT_EQ(Count("esn"), 1);
    EXPECT_EQ(Count("qcdmg"), 1);
}

TEST_F(DiagSimTest, ChallengeWithEscapedBytesIsAnsweredCorrectly)
{
    // 7D and 7E travel escaped; the answer must be computed over the real bytes.
    modem.faults().challenge = std::vector<std::uint8_t>{0x7E, 0x01, 0x7D, 0x02, 0x7E, 0x7D, 0x03, 0x04};
    std::array<std::uint8_t, 8> value{};
    ASSERT_TRUE(diag::GetChallengeValue(protocol, value));
    EXPECT_EQ(std::vector<std::uint8_t>(value.begin(), value.end()), *modem.faults().challenge);
    const md5::Digest answer = md5::Compute(value.data(), value.size());
    EXPECT_TRUE(diag::SendChallengeAnswer(protocol, answer));
    EXPECT_TRUE(modem.ChallengePassed());
}

TEST_F(DiagSimTest, VendorFlagAndAutorunReachTheDevice)
{
    EXPECT_TRUE(diag::SetVendorFlag(protocol, 1));
    EXPECT_TRUE(diag::SetAutorun(protocol, 0));
    EXPECT_EQ(modem.VendorFlag(), 1);
    EXPECT_EQ(modem.Autorun(), 0);
}

TEST_F(DiagSimTest, NvItemsRoundTripAndReportTheirStatus)
{
    std::array<std::uint8_t, 128> data{};
    std::uint16_t status = 1;
    ASSERT_TRUE(diag::NvRead(protocol, 22, data, status));
    EXPECT_EQ(status, 0);
    const sim::NvData stored = modem.nv().Value(22);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), stored.begin()));

    data.fill(0xA5);
    ASSERT_TRUE(diag::NvWrite(protocol, 22, data, status));
    EXPECT_EQ(modem.nv().Value(22)[127], 0xA5);

    modem.nv().SetKind(550, sim::NvKind::Inactive);
    data.fill(0x11);
    EXPECT_FALSE(diag::NvRead(protocol, 550, data, status));
    EXPECT_EQ(status, 5);
    EXPECT_EQ(protocol.lastError, "cannot read #550 NV Item, since Variable was not active");
    EXPECT_EQ(data, (std::array<std::uint8_t, 128>{}));

    modem.nv().SetKind(4000, sim::NvKind::ReadOnly);
    EXPECT_FALSE(diag::NvWrite(protocol, 4000, data, status));
    EXPECT_EQ(status, 7);
    EXPECT_EQ(protocol.lastError, "Cannot Write #4000 NVItem, Since Parameter is write-protected and thus read only");
}

TEST_F(DiagSimTest, NvStatusTextsAndUnsignedItemNumbers)
{
    modem.faults().nvStatus[65000] = 11;
    std::array<std::uint8_t, 128> data{};
    std::uint16_t status = 0;
    EXPECT_FALSE(diag::NvRead(protocol, 65000, data, status));
    EXPECT_EQ(status, 11);
    EXPECT_EQ(protocol.lastError, "cannot read #65000 NV Item, since ");

    modem.nv().SetKind(6000, sim::NvKind::Unsupported);
    EXPECT_FALSE(diag::NvRead(protocol, 6000, data, status));
    EXPECT_EQ(status, 0xFFFF);
    EXPECT_EQ(protocol.lastError,
              "cannot read #6000 NVItem, since The Request packet has invalid or inconsistent parameters");
}

TEST_F(DiagSimTest, NvReadThatNeverGetsAnAnswer)
{
    std::string error;
    ASSERT_TRUE(modem.faults().Parse("nvread=silent*3", error));
    std::array<std::uint8_t, 128> data{};
    data.fill(0x33);
    std::uint16_t status = 0;
    const std::uint32_t start = Now();
    EXPECT_FALSE(diag::NvRead(protocol, 22, data, status));
    EXPECT_EQ(status, 0xFFFF);
    EXPECT_EQ(protocol.lastError, "cannot read #22 NVItem, since Port Cannot Receive Desired Data from the Phone");
    EXPECT_EQ(data, (std::array<std::uint8_t, 128>{}));
    // Three attempts, each polling in 30 ms steps until past 2000 ms.
    EXPECT_EQ(Now() - start, 3u * 2010u);
    EXPECT_EQ(Count("nvread"), 3);
}

TEST_F(DiagSimTest, AtChannelOnTheModemPort)
{
    ASSERT_TRUE(OpenModem());
    std::string line;
    EXPECT_TRUE(at.Execute("AT+KCDRUN=E", line));
    EXPECT_EQ(line, "OK");
    EXPECT_FALSE(at.SendCommand("AT+BOGUS"));
    std::string error;
    ASSERT_TRUE(modem.faults().Parse("at=silent", error));
    const std::uint32_t start = Now();
    EXPECT_FALSE(at.SendCommand("AT+KCDRUN=8"));
    EXPECT_EQ(Now() - start, 2400u);
    EXPECT_EQ(modem.AtCommands(), (std::vector<std::string>{"AT+KCDRUN=E", "AT+BOGUS", "AT+KCDRUN=8", "AT+KCDRUN=8"}));
}

TEST_F(DiagSimTest, ResetTakesTheDeviceOffTheBusUntilItReturns)
{
    sim::ModemConfig config;
    ASSERT_TRUE(diag::SetOffline(protocol));
    ASSERT_TRUE(diag::ResetPhone(protocol));
    EXPECT_FALSE(modem.Present());
    std::uint32_t esn = 0;
    EXPECT_FALSE(diag::GetEsn(protocol, esn));
    EXPECT_EQ(protocol.lastError, "Cannot Get the ESN Number of the Phone, Since Port Cannot Send desired data to the Phone");
    EXPECT_FALSE(OpenDiag());
    Wait(config.returnDelayMs);
    ASSERT_TRUE(OpenDiag());
    EXPECT_TRUE(diag::GetEsn(protocol, esn));
}

}  // namespace
