#include "diag/nv_items.h"

#include <gtest/gtest.h>

#include <array>

#include "diag_test_support.h"

namespace {

using Data = std::array<std::uint8_t, diag::kNvDataSize>;

Bytes NvPayload(std::uint8_t command, std::uint16_t item, const Bytes& data, std::uint16_t status)
{
    return Concat({{command, static_cast<std::uint8_t>(item), static_cast<std::uint8_t>(item >> 8)}, data,
                   {static_cast<std::uint8_t>(status), static_cast<std::uint8_t>(status >> 8)}});
}

// start, start + 1, ...: from 0x70 on it holds 7D and 7E.
Bytes Pattern(std::uint8_t start)
{
    Bytes data(diag::kNvDataSize);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(start + i);
    return data;
}

class NvItemsTest : public DiagTest {
protected:
    Data buffer{};
    std::uint16_t status = 0x1234;
};

TEST_F(NvItemsTest, ReadSendsTheCallersBytesAndTakesTheRepliedData)
{
    const Bytes callers = Pattern(0x70);
    std::copy(callers.begin(), callers.end(), buffer.begin());
    // The item number in the reply is not compared with the request's.
    device.Then(DeviceFrame(NvPayload(0x26, 551, Pattern(0x10), 0)));
    ASSERT_TRUE(diag::NvRead(protocol, 550, buffer, status));
    EXPECT_EQ(LastSentPayload(), NvPayload(0x26, 550, callers, 0));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), Pattern(0x10));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Elapsed(), 30u);  // one 30 ms settling pause
}

// A device status is not retried; without a valid reply the read is tried
// three times and reports no status. Either way the buffer is cleared.
TEST_F(NvItemsTest, FailedReadClearsTheBufferAndNamesTheStatusOrTheMissingReply)
{
    const Bytes full = NvPayload(0x26, 550, Pattern(0x10), 0);
    const Bytes cut(full.begin(), full.end() - 1);  // says nothing about the item's data
    const struct {
        Bytes reply;  // empty: silence
        std::uint16_t status;
        std::string sentence;
    } cases[] = {
        {NvPayload(0x26, 550, Pattern(0x10), 5), 5, "cannot read #550 NV Item, since Variable was not active"},
        {NvPayload(0x26, 550, Pattern(0x10), 10), 10, "cannot read #550 NV Item, since address is not a valid allocation "},
        {NvPayload(0x26, 550, Pattern(0x10), 0x010B), 0x010B, "cannot read #550 NV Item, since "},
        {{}, diag::NV_RWOPFAILED_S, "cannot read #550 NVItem, since " + kNoReply},
        {{0x14, 0x26}, diag::NV_RWOPFAILED_S,
         "cannot read #550 NVItem, since The Request packet has invalid or inconsistent parameters"},
        {cut, diag::NV_RWOPFAILED_S, "cannot read #550 NVItem, since the Received NV Item Data is Incomplete"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sentence);
        const bool deviceStatus = c.status != diag::NV_RWOPFAILED_S;
        for (int attempt = 0; attempt < (deviceStatus ? 1 : 3) && !c.reply.empty(); ++attempt) device.Then(DeviceFrame(c.reply));
        const std::size_t writes = wire->HostWrites().size();
        buffer.fill(0xAA);
        EXPECT_FALSE(diag::NvRead(protocol, 550, buffer, status));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(protocol.LastError(), c.sentence);
        EXPECT_EQ(buffer, Data{});
        EXPECT_EQ(wire->HostWrites().size() - writes, deviceStatus ? 1u : 3u);
    }
}

TEST_F(NvItemsTest, WriteReportsTheDeviceStatusOrNoStatusWithUnsignedItemNumbers)
{
    Data data{};
    data.fill(0x7E);
    device.Then(DeviceFrame(NvPayload(0x27, 65000, Bytes(128, 0), 7)));
    EXPECT_FALSE(diag::NvWrite(protocol, 65000, data, status));
    EXPECT_EQ(status, 7u);
    EXPECT_EQ(Elapsed(), 30u);  // one 30 ms settling pause, as for a read
    EXPECT_EQ(protocol.LastError(), "Cannot Write #65000 NVItem, Since Parameter is write-protected and thus read only");

    EXPECT_FALSE(diag::NvWrite(protocol, 65000, data, status));
    EXPECT_EQ(status, diag::NV_RWOPFAILED_S);
    EXPECT_EQ(protocol.LastError(), "Cannot write #65000 NVItem, Since " + kNoReply);
}

}  // namespace
