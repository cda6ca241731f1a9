// The simulated modem as an interrupted run leaves it: the mode each kind of
// reset brings it back in for a given flash, and the state it keeps across a
// restart of the program. (The port search's tests switch it on in each mode.)
#include <gtest/gtest.h>

#include "diag/diag_commands.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "sim_fixture.h"

namespace {

using sim::SimMode;
using Bytes = std::vector<std::uint8_t>;

// What the flash programmer received before the reset.
struct Written {
    std::uint8_t type;
    std::size_t header;
    std::size_t data;
    bool closed;
};
struct BootCase {
    const char* name;
    std::vector<Written> before;  // images written before the partition table
    bool table;
    std::vector<Written> after;
    SimMode back;
};
void PrintTo(const BootCase& c, std::ostream* out) { *out << c.name; }

const std::vector<Written> kBootChain{{2, 0, 1336, true}, {3, 0, 4000, true}, {4, 40, 3000, true}, {5, 40, 5000, true}};

std::vector<Written> Plus(std::vector<Written> images, std::initializer_list<Written> more)
{
    images.insert(images.end(), more);
    return images;
}

// A device switched on in its flash programmer, taking images.
class FlashTest : public SimTest {
protected:
    FlashTest() : SimTest({.startMode = SimMode::Programmer}) {}

    download::StreamInbox inbox;

    void Write(const Written& image)
    {
        const Bytes header(image.header, image.type), data(image.data, 0x5A);
        ASSERT_TRUE(download::OpenMultiImage(protocol, image.type, header.data(), static_cast<std::uint32_t>(header.size())));
        for (std::uint32_t at = 0; at < data.size(); at += 1000) {
            ASSERT_TRUE(download::StreamWrite(protocol, inbox, at, data.data() + at, std::min<std::uint32_t>(1000, data.size() - at)));
        }
        ASSERT_TRUE(!image.closed || download::CloseImage(protocol));
    }
    void Flash(const std::vector<Written>& before, bool table, const std::vector<Written>& after)
    {
        ASSERT_TRUE(OpenDiag() && download::Hello(protocol) && download::EnterSecurityMode(protocol));
        for (const Written& image : before) Write(image);
        const Bytes partition(64, 0x11);
        ASSERT_TRUE(!table || download::SendPartitionTable(protocol, partition.data(), 64));
        for (const Written& image : after) Write(image);
    }
    // Resets the device the way its mode takes and lets it come back.
    SimMode Reset(StepResult (*reset)(CPhoneProtocol&))
    {
        EXPECT_TRUE(OpenDiag() && reset(protocol));
        Wait(4000);
        return modem.Mode();
    }
};

class BootModeTest : public FlashTest, public ::testing::WithParamInterface<BootCase> {};

TEST_P(BootModeTest, EveryResetAndAReloadBringItBackInTheModeItsFlashBootsInto)
{
    const BootCase& c = GetParam();
    Flash(c.before, c.table, c.after);

    EXPECT_EQ(Reset(download::StreamReset), c.back);
    EXPECT_EQ(Reset(c.back == SimMode::Normal ? diag::ResetPhone : download::DmssReset), c.back);
    served.PullOut(false);
    Wait(4000);
    EXPECT_EQ(modem.Mode(), c.back);

    // Switched on again from its kept state, it starts the same way.
    sim::SimModem again;
    std::string error;
    ASSERT_TRUE(again.LoadState(modem.SaveState(), error)) << error;
    EXPECT_EQ(again.Mode(), c.back);
    EXPECT_EQ(again.Images(), modem.Images());
}

INSTANTIATE_TEST_SUITE_P(
    Flash, BootModeTest,
    ::testing::Values(BootCase{"Untouched", {}, false, {}, SimMode::Normal},
                      BootCase{"WholeSet", {}, true, Plus(kBootChain, {{9, 0, 3000, true}, {10, 40, 2000, true}}), SimMode::Normal},
                      BootCase{"ImageCutMidWrite", {}, true, Plus({kBootChain.begin(), kBootChain.end() - 1}, {{5, 40, 2500, false}}),
                               SimMode::Downloader},
                      BootCase{"HeaderWithoutData", {}, true, Plus({kBootChain.begin(), kBootChain.end() - 1}, {{5, 40, 0, true}}),
                               SimMode::Downloader},
                      BootCase{"TableWithoutModemSoftware", {}, true, {kBootChain.begin(), kBootChain.end() - 1},
                               SimMode::Downloader},
                      // The file system is not in the boot chain.
                      BootCase{"WholeSetAndACutFileSystem", {}, true, Plus(kBootChain, {{9, 0, 3000, false}}), SimMode::Normal},
                      // A new partition table leaves no earlier image in place.
                      BootCase{"WholeSetBeforeANewTable", kBootChain, true, {}, SimMode::Downloader},
                      // Without a new table the factory's modem software is lost
                      // only to an image written over it.
                      BootCase{"ModemSoftwareCutWithoutATable", {}, false, {{5, 40, 2500, false}}, SimMode::Downloader},
                      BootCase{"BootLoaderWholeWithoutATable", {}, false, {{3, 0, 4000, true}}, SimMode::Normal}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashTest, FlashAndNvItemsComeBackEqualAndADamagedStateIsRefusedWhole)
{
    Flash({{10, 40, 900, true}}, true, Plus(kBootChain, {{9, 0, 2500, false}}));
    sim::NvData value{};
    value.fill(0xA5);
    modem.nv().ResetToFactory();
    modem.nv().Set(10, sim::NvKind::Inactive, value);
    modem.nv().Set(300, sim::NvKind::ReadOnly, value);
    ASSERT_EQ(modem.nv().Write(550, value), 0);
    modem.nv().SetKind(0xFFFF, sim::NvKind::Unsupported);
    const Bytes state = modem.SaveState();

    sim::SimModem again;
    std::string error;
    ASSERT_TRUE(again.LoadState(state, error)) << error;
    EXPECT_EQ(again.Images(), modem.Images());
    EXPECT_TRUE(again.Images().at(10).superseded);
    EXPECT_FALSE(again.Images().at(9).closed);
    EXPECT_EQ(again.PartitionTable(), modem.PartitionTable());
    EXPECT_EQ(again.nv().Items(), modem.nv().Items());
    EXPECT_EQ(again.nv().Value(20), modem.nv().FactoryValue(20));
    EXPECT_EQ(again.Mode(), SimMode::Normal);

    // Cut anywhere, one byte too many, another version: nothing is taken.
    sim::SimModem fresh;
    for (std::size_t size = 0; size < state.size(); ++size) {
        ASSERT_FALSE(fresh.LoadState(Bytes(state.begin(), state.begin() + static_cast<std::ptrdiff_t>(size)), error)) << size;
    }
    Bytes longer = state;
    longer.push_back(0);
    EXPECT_FALSE(fresh.LoadState(longer, error));
    EXPECT_EQ(error, "the device state is damaged or cut short");
    Bytes newer = state;
    newer[8] = 2;
    EXPECT_FALSE(fresh.LoadState(newer, error));
    EXPECT_EQ(error, "device state of version 2, this program reads version 1");
    EXPECT_TRUE(fresh.Images().empty());
    EXPECT_TRUE(fresh.nv().Items().empty());
    EXPECT_EQ(fresh.BootMode(), SimMode::Normal);
}

}  // namespace
