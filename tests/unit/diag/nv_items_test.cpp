#include "diag/nv_items.h"

#include <gtest/gtest.h>

#include <array>

#include "diag_test_support.h"

namespace {

using Data = std::array<std::uint8_t, diag::kNvDataSize>;

Bytes NvPayload(std::uint8_t command, std::uint16_t item, const Bytes& data, std::uint16_t status)
{
    const Bytes head{command, static_cast<std::uint8_t>(item), static_cast<std::uint8_t>(item >> 8)};
    return Join(Join(head, data), {static_cast<std::uint8_t>(status), static_cast<std::uint8_t>(status >> 8)});
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

TEST_F(NvItemsTest, ReadRejectedByTheDeviceClearsTheBufferAndNamesTheStatus)
{
    const std::pair<std::uint16_t, std::string> cases[] = {
        {5, "cannot read #550 NV Item, since Variable was not active"},
        {10, "cannot read #550 NV Item, since address is not a valid allocation "},
        {11, "cannot read #550 NV Item, since "},
    };
    for (const auto& [deviceStatus, sentence] : cases) {
        buffer.fill(0xAA);
        device.Then(DeviceFrame(NvPayload(0x26, 550, Pattern(0x10), deviceStatus)));
        EXPECT_FALSE(diag::NvRead(protocol, 550, buffer, status));
        EXPECT_EQ(status, deviceStatus);
        EXPECT_EQ(protocol.LastError(), sentence);
        EXPECT_EQ(buffer, Data{});
    }
    EXPECT_EQ(wire->HostWrites().size(), 3u);  // a device status is not retried
}

TEST_F(NvItemsTest, ReadWithoutValidReplyTriesThreeTimesAndReportsNoStatus)
{
    buffer.fill(0xAA);
    EXPECT_FALSE(diag::NvRead(protocol, 7, buffer, status));
    EXPECT_EQ(wire->HostWrites().size(), 3u);
    EXPECT_EQ(Elapsed(), 3u * 2010u);
    EXPECT_EQ(status, diag::NV_RWOPFAILED_S);
    EXPECT_EQ(protocol.LastError(), "cannot read #7 NVItem, since " + kNoReply);
    EXPECT_EQ(buffer, Data{});

    for (int attempt = 0; attempt < 3; ++attempt) device.Then(DeviceFrame({0x14, 0x26}));
    EXPECT_FALSE(diag::NvRead(protocol, 7, buffer, status));
    EXPECT_EQ(protocol.LastError(),
              "cannot read #7 NVItem, since The Request packet has invalid or inconsistent parameters");

    // A reply cut before its status says nothing about the item's data, and is asked for again.
    const Bytes full = NvPayload(0x26, 7, Pattern(0x10), 0);
    for (int attempt = 0; attempt < 3; ++attempt) device.Then(DeviceFrame(Bytes(full.begin(), full.end() - 1)));
    buffer.fill(0xAA);
    EXPECT_FALSE(diag::NvRead(protocol, 7, buffer, status));
    EXPECT_EQ(status, diag::NV_RWOPFAILED_S);
    EXPECT_EQ(protocol.LastError(), "cannot read #7 NVItem, since the Received NV Item Data is Incomplete");
    EXPECT_EQ(buffer, Data{});
    EXPECT_EQ(wire->HostWrites().size(), 9u);
}

TEST(NvReply, FieldsAreLittleEndianBehindTheCommand)
{
    const Bytes reply = NvPayload(0x26, 0x1234, Pattern(0x70), 0x0507);
    const Parsed<diag::NvReply> parsed = diag::ParseNvReply(reply);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed.value->item, 0x1234);
    EXPECT_EQ(Bytes(parsed.value->data.begin(), parsed.value->data.end()), Pattern(0x70));
    EXPECT_EQ(parsed.value->status, 0x0507);
    EXPECT_EQ(diag::ParseNvReply(Bytes(reply.begin(), reply.end() - 1)).reason, diag::kNvReplyIncomplete);
}

TEST_F(NvItemsTest, WriteReportsTheDeviceStatusOrNoStatusWithUnsignedItemNumbers)
{
    Data data{};
    data.fill(0x7E);
    const Bytes sent = NvPayload(0x27, 65000, Bytes(data.begin(), data.end()), 0);
    device.Then(DeviceFrame(sent));
    EXPECT_TRUE(diag::NvWrite(protocol, 65000, data, status));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(LastSentPayload(), sent);

    device.Then(DeviceFrame(NvPayload(0x27, 65000, Bytes(128, 0), 7)));
    EXPECT_FALSE(diag::NvWrite(protocol, 65000, data, status));
    EXPECT_EQ(status, 7u);
    EXPECT_EQ(protocol.LastError(), "Cannot Write #65000 NVItem, Since Parameter is write-protected and thus read only");

    EXPECT_FALSE(diag::NvWrite(protocol, 65000, data, status));
    EXPECT_EQ(status, diag::NV_RWOPFAILED_S);
    EXPECT_EQ(protocol.LastError(), "Cannot write #65000 NVItem, Since " + kNoReply);
}

}  // namespace
