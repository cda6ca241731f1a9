#include "workflow/nv_backup.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "diag/nv_items.h"
#include "flashing/box_title.h"
#include "flashing/check_block.h"
#include "flashing/image_file.h"
#include "link/sentence.h"
#include "platform/backends.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "workflow/upgrade_progress.h"

namespace workflow {
namespace {

constexpr std::array<std::uint16_t, kNvListedItems + 1> kNvItemList = {
    1801, 1965, 2913, 4081, 1963, 3736, 2021, 2042, 2923, 4063, 2067, 3718, 2023, 2044, 2925, 4065, 2069, 3720, 1802,
    1966, 2914, 4082, 1964, 3737, 2022, 2043, 2924, 4064, 2068, 3719, 2024, 2045, 2926, 4066, 2070, 3721, 8888, 0,
    550, 22, 90, 141, 524, 525, 529, 530, 531, 532, 537, 538, 539, 540, 542, 543, 544, 569, 570, 571, 572, 573, 724,
    725, 726, 727, 728, 729, 730, 731, 732, 733, 734, 735, 740, 741, 742, 743, 744, 745, 746, 747, 748, 749, 750, 751,
    752, 753, 754, 755, 756, 757, 758, 759, 760, 761, 762, 763, 764, 765, 766, 767, 768, 769, 770, 771, 772, 773, 774,
    775, 776, 777, 778, 779, 780, 781, 782, 783, 784, 785, 786, 787, 788, 789, 790, 791, 792, 793, 794, 795, 796, 797,
    798, 799, 800, 801, 802, 803, 804, 805, 856, 857, 865, 866, 867, 868, 869, 870, 871, 872, 873, 874, 875, 1058,
    1059, 1060, 1061, 1062, 1063, 1064, 1065, 1066, 1067, 1068, 1069, 1070, 1071, 1072, 1073, 1074, 1075, 1076, 1077,
    1078, 1079, 1080, 1081, 1082, 1083, 1084, 1085, 1086, 1087, 1088, 1089, 1090, 1091, 1092, 1093, 1094, 1095, 1102,
    1103, 1104, 1105, 1143, 1144, 1152, 1153, 1154, 1155, 1156, 1157, 1158, 1168, 1169, 1173, 1174, 1175, 1176, 1181,
    1182, 1183, 1184, 1186, 1187, 1188, 1284, 1297, 1298, 1323, 1336, 1337, 1345, 1346, 1801, 1802, 1814, 1815, 1823,
    1824, 1825, 1826, 1827, 1828, 1829, 1839, 1840, 1844, 1845, 1846, 1847, 1861, 1862, 1863, 1864, 1866, 1867, 1868,
    1963, 1964, 1965, 1966, 1971, 1972, 1973, 1974, 1975, 1976, 2009, 2010, 2011, 2012, 2017, 2018, 2019, 2020, 2021,
    2022, 2023, 2024, 2030, 2031, 2032, 2033, 2038, 2039, 2040, 2041, 2042, 2043, 2044, 2045, 2055, 2056, 2057, 2058,
    2063, 2064, 2065, 2066, 2067, 2068, 2069, 2070, 2521, 2522, 2523, 2524, 2525, 2526, 2527, 2528, 2529, 2530, 2531,
    2532, 2533, 2534, 2535, 2536, 2537, 2538, 2539, 2540, 2541, 2542, 2543, 2544, 2545, 2546, 2547, 2548, 2549, 2550,
    2551, 2552, 2585, 2586, 2587, 2588, 2589, 2590, 2591, 2592, 2553, 2554, 2555, 2556, 2557, 2558, 2559, 2560, 2561,
    2562, 2563, 2564, 2565, 2566, 2567, 2568, 2569, 2570, 2571, 2572, 2573, 2574, 2575, 2576, 2577, 2578, 2579, 2580,
    2581, 2582, 2583, 2584, 2593, 2594, 2595, 2596, 2597, 2598, 2599, 2600, 2601, 2602, 2603, 2604, 2605, 2606, 2607,
    2608, 2609, 2610, 2611, 2612, 2613, 2614, 2615, 2616, 2617, 2618, 2619, 2620, 2621, 2622, 2623, 2624, 2625, 2626,
    2627, 2628, 2629, 2630, 2631, 2632, 2633, 2634, 2635, 2636, 2637, 2638, 2639, 2640, 2641, 2642, 2643, 2644, 2645,
    2646, 2647, 2648, 2724, 2725, 2726, 2727, 2728, 2729, 2770, 2771, 2772, 2773, 2845, 2846, 2854, 2855, 2856, 2857,
    2858, 2859, 2860, 2897, 2868, 2869, 2873, 2874, 2877, 2878, 2889, 2890, 2891, 2892, 2894, 2895, 2896, 2917, 2918,
    2875, 2876, 2879, 2880, 2919, 2920, 2921, 2922, 2913, 2914, 2923, 2924, 2925, 2926, 3502, 3503, 3504, 3505, 3650,
    3651, 3675, 3659, 3660, 3661, 3662, 3663, 3664, 3665, 3668, 3676, 3680, 3681, 3682, 3683, 3688, 3689, 3690, 3691,
    3693, 3694, 3695, 3706, 3707, 3708, 3709, 3714, 3715, 3716, 3717, 3718, 3719, 3720, 3721, 3736, 3737, 3759, 3767,
    3765, 3778, 3779, 3780, 3766, 3781, 3782, 3783, 3784, 3785, 3786, 3789, 3790, 3804, 3805, 3806, 3807, 3808, 3809,
    3810, 3811, 3812, 3815, 3816, 3817, 3819, 3820, 3834, 3835, 3836, 3837, 3838, 3839, 3840, 3841, 3842, 3843, 3844,
    3847, 3969, 3970, 3971, 3972, 3973, 3974, 3975, 3976, 3977, 3978, 3979, 3980, 3981, 3982, 3983, 3984, 3991, 3992,
    3993, 3994, 3995, 3996, 4004, 4005, 4006, 4007, 4008, 4009, 4010, 4013, 4020, 4021, 4025, 4026, 4027, 4028, 4033,
    4034, 4035, 4036, 4038, 4039, 4040, 4049, 4050, 4051, 4052, 4053, 4054, 4059, 4060, 4061, 4062, 4081, 4082, 4063,
    4064, 4065, 4066, 4112, 4113, 4114, 4115, 4179, 4180, 4181, 4182, 4161, 4162, 4163, 4164, 4165, 4166, 4167, 4168,
    4169, 4170, 4171, 4172, 4403, 4401, 4408, 4406, 4423, 4421, 4413, 4411, 4428, 4426, 4434, 4435, 4449, 4450, 4451,
    4452, 4453, 4454, 4455, 4456, 4457, 4460, 4461, 4462, 4492, 4493, 4507, 4508, 4509, 4510, 4511, 4512, 4513, 4514,
    4515, 4518, 4519, 4520, 4871, 4872, 4965, 4969, 4970, 4974, 4975, 4979, 4980, 4984, 4985, 4989, 4990, 4994, 3704,
    3705, 1057, 2758, 2760, 2759, 2761, 2762, 2764, 2763, 2765, 5055, 5061, 5464, 5470, 5476, 5056, 5062, 5462, 5468,
    5474, 4418, 4416, 5057, 5063, 5463, 5469, 5475, 850, 4496, 4497, 4498, 4499, 4500, 4501, 4502, 4503, 4504, 4505,
    4506, 4507, 4508, 4509, 4510, 4511, 4512, 4513, 4514, 4795, 4796, 4797, 4798, 4799, 4800, 4801, 4802, 4803, 4804,
    4805, 4806, 4807, 4808, 4809, 4810, 4811, 4812, 4813, 5036, 5037, 5038, 5039, 5040, 5041, 5042, 5043, 5044, 5045,
    5046, 5047, 5048, 5049, 5050, 5051, 5052, 5053, 5054, 5201, 5202, 5203, 5204, 5205, 5206, 5207, 5208, 5209, 5210,
    5211, 5212, 5213, 5214, 5215, 5216, 5217, 5218, 5219, 5220, 5221, 5222, 5223, 5224, 5225, 5226, 5227, 5228, 5229,
    5230, 5231, 5232, 5233, 5234, 5401, 5402, 5403, 5404, 5405, 5406, 5407, 5408, 5409, 5410, 5411, 5412, 5413, 5414,
    5415, 5416, 5417, 5418, 5419, 5601, 5602, 5603, 5604, 5605, 5606, 5607, 5608, 5609, 5610, 5611, 5612, 5613, 5614,
    5615, 5616, 5617, 5618, 5619, 5620, 5621, 5622, 5623, 5624, 5625, 5570, 5571, 5572, 5573, 5574, 5575, 5576, 5577,
    5578, 5579, 5580, 5581, 5582, 5583, 5584, 5585, 5586, 5587, 5588, 5589, 5590, 5591, 5592, 5593, 5594, 5800, 5801,
    5802, 5803, 5804, 5805, 5806, 5807, 5808, 5809, 5810, 5811, 5812, 5813, 5814, 5815, 5816, 5817, 5818, 5819, 5820,
    5821, 5822, 5823, 5824, 6000, 6001, 6002, 6003, 6004, 6005, 6006, 6007, 6008, 6009, 6010, 6011, 6012, 6013, 6014,
    6015, 6016, 6017, 6018, 6019, 6020, 6021, 6022, 6023, 6024, 6300, 6301, 6302, 6303, 6304, 6305, 6306, 6307, 6308,
    6309, 6310, 6311, 6312, 6313, 6314, 6315, 6316, 6317, 6318, 6319, 6320, 6321, 6322, 6323, 6324, 8000, 8001, 8002,
    8003, 8004, 8005, 8006, 8007, 8008, 8009, 8010, 8011, 8012, 8013, 8014, 8015, 8016, 8017, 8018, 8019, 8020, 8021,
    8022, 8023, 8024, 8025, 8026, 8027, 8028, 8029, 8030, kNvEndMark
};

constexpr std::uint32_t kCheckRetryMs = 100;
constexpr int kReadAttempts = 3;
constexpr std::uint32_t kReadRetryMs = 100;
constexpr int kModeAttempts = 3;
constexpr std::uint32_t kModeRetryMs = 200;
constexpr std::uint32_t kModeSettleMs = 1000;
constexpr int kBusyWaits = 30;
constexpr std::uint32_t kBusyWaitMs = 1000;

// Progress runs over the whole table, in the backup's span or the restore's.
constexpr const char* kSaveFailed = "Line %d fail to save data into %s (%d)";
constexpr const char* kBadFile = "NVM file for backup NV doesn't exist or destroyed";
constexpr const char* kUnanswered = "%d NV items got no valid reply from the device; the first is item %d";

void PutLe16(std::uint8_t* at, std::uint16_t value)
{
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t GetLe16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | at[1] << 8); }

int Progress(std::size_t index, int base, int span)
{
    return base + static_cast<int>(index * static_cast<std::size_t>(span) / NvTable::kRecordCount);
}

// The device checks the image about to be written; its verdict changes
// nothing here.
void SendDownloadCheck(const LineContext& ctx)
{
    std::array<std::uint8_t, diag::kCheckBlockSize> block{};
    flashing::ReadCheckBlock(ctx, block);
    if (diag::DownloadCheck(ctx.line.protocol, block, diag::kCheckSubsystem)) return;
    ctx.line.Clock().SleepMs(kCheckRetryMs);
    static_cast<void>(diag::DownloadCheck(ctx.line.protocol, block, diag::kCheckSubsystem));
}

// Offline before the items are written, online after; a device that does
// not follow is still written to.
void SetMode(CPhoneProtocol& protocol, StepResult (*request)(CPhoneProtocol&))
{
    platform::IClock& clock = protocol.port.Clock();
    for (int attempt = 0; attempt < kModeAttempts; ++attempt) {
        if (request(protocol)) break;
        clock.SleepMs(kModeRetryMs);
    }
    clock.SleepMs(kModeSettleMs);
}

// Whether the device answered the NV request that failed with `status`: with
// a refusal of the item (an NV status, or an error reply for an item its
// software does not know) rather than with no valid reply at all.
bool Answered(const CPhoneProtocol& protocol, std::uint16_t status)
{
    return status != diag::NV_RWOPFAILED_S || protocol.LastFailure() == ExchangeFailure::ErrorReply;
}

// Leaves the data and status of the last attempt in the record. True when
// the device answered, with the item or with a refusal of it; false when no
// valid reply came at all.
bool ReadItem(CPhoneProtocol& protocol, NvRecord& record)
{
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (diag::NvRead(protocol, record.item, record.data, record.status)) return true;
        protocol.port.Clock().SleepMs(kReadRetryMs);
    }
    return Answered(protocol, record.status);
}

// An item the device calls inactive or read only is passed over; any other
// refusal gets one more write. A device just started on new software may
// be too busy to answer for a while (setting up a new file system): an item
// it did not answer at all is written again once a second until it does,
// so that a slow start does not leave the device without its items.
bool WriteItem(CPhoneProtocol& protocol, const NvRecord& record)
{
    std::uint16_t status = diag::NV_DONE_S;
    for (int wait = 0;; ++wait) {
        if (diag::NvWrite(protocol, record.item, record.data, status)) return true;
        if (status == diag::NV_NOTACTIVE_S || status == diag::NV_READONLY_S) return true;
        if (diag::NvWrite(protocol, record.item, record.data, status)) return true;
        if (Answered(protocol, status) || wait == kBusyWaits) return false;
        protocol.port.Clock().SleepMs(kBusyWaitMs);
    }
}

}  // namespace

const std::array<std::uint16_t, kNvListedItems + 1>& NvItemList() { return kNvItemList; }

void NvRecord::Encode(std::span<std::uint8_t, kSize> out) const
{
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    PutLe16(out.data() + kItemOffset, item);
    std::copy(data.begin(), data.end(), out.begin() + kDataOffset);
    PutLe16(out.data() + kStatusOffset, status);
}

NvRecord NvRecord::Decode(std::span<const std::uint8_t, kSize> in)
{
    NvRecord record;
    record.item = GetLe16(in.data() + kItemOffset);
    std::copy(in.begin() + kDataOffset, in.begin() + kDataOffset + diag::kNvDataSize, record.data.begin());
    record.status = GetLe16(in.data() + kStatusOffset);
    return record;
}

NvTable::NvTable() : m_records(kRecordCount)
{
    for (std::size_t i = 0; i < kNvItemList.size(); ++i) m_records[i].item = kNvItemList[i];
}

NvTable NvTable::Decode(std::span<const std::uint8_t, kSize> bytes)
{
    NvTable table;
    for (std::size_t i = 0; i < kRecordCount; ++i) {
        table.m_records[i] = NvRecord::Decode(bytes.subspan(i * NvRecord::kSize).first<NvRecord::kSize>());
    }
    return table;
}

std::vector<std::uint8_t> NvTable::Encode() const
{
    std::vector<std::uint8_t> bytes(kSize);
    for (std::size_t i = 0; i < kRecordCount; ++i) {
        m_records[i].Encode(std::span(bytes).subspan(i * NvRecord::kSize).first<NvRecord::kSize>());
    }
    return bytes;
}

bool SaveNvTable(const LineContext& ctx, const NvTable& table, const std::string& path)
{
    // One temporary name per line, so lines saving to the same file never
    // write into each other's.
    const std::string number = std::to_string(ctx.index + 1);
    const std::string temporary = path + "." + number + ".tmp";
    // The cause code is errno of the failed file call, or for the final
    // replacement the code the file-system library reports, which is an
    // errno value too with both the Linux and the MinGW library.
    int cause = 0;
    if (platform::ReplaceFile(path, temporary, table.Encode(), true, cause)) return true;
    ctx.Log(Sentence(kSaveFailed, {number, path, std::to_string(cause)}));
    return false;
}

StepResult NvBackup(const LineContext& ctx, const std::string& path)
{
    SendDownloadCheck(ctx);
    NvTable table;
    std::vector<std::size_t> unanswered;
    for (std::size_t i = 0; i < NvTable::kRecordCount; ++i) {
        ctx.Progress(Progress(i, progress::kBackupFirst, progress::kBackupSpan));
        NvRecord& record = table[i];
        if (record.item >= kNvEndMark) break;
        if (!ReadItem(ctx.line.protocol, record)) unanswered.push_back(i);
    }
    // A reply lost on a noisy line is not the device's answer: such items
    // get one more round before the backup is judged.
    std::erase_if(unanswered, [&](std::size_t i) { return ReadItem(ctx.line.protocol, table[i]); });
    if (!SaveNvTable(ctx, table, path)) return StepResult::Failed("the backup could not be saved to " + path);
    if (unanswered.empty()) return {};
    const std::string text =
        Sentence(kUnanswered, {std::to_string(unanswered.size()), std::to_string(table[unanswered.front()].item)});
    ctx.Log(text);
    return StepResult::Failed(text);
}

std::string SetNvBackupAside(const std::string& path, const std::string& tag, const platform::LocalTime& t)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path from(path);
    if (!fs::is_regular_file(from, ec)) return {};
    char time[32];
    std::snprintf(time, sizeof time, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    const std::string stem = from.stem().string() + "-" + tag + "-" + time;
    // Two backups set aside within one second keep both.
    for (int copy = 1; copy < 100; ++copy) {
        const std::string suffix = copy == 1 ? "" : "-" + std::to_string(copy);
        const fs::path to = from.parent_path() / (stem + suffix + from.extension().string());
        if (fs::exists(fs::symlink_status(to, ec))) continue;
        fs::rename(from, to, ec);
        return ec ? std::string() : to.string();
    }
    return {};
}

StepResult NvRestore(const LineContext& ctx, const std::string& path)
{
    SendDownloadCheck(ctx);
    std::vector<std::uint8_t> bytes(NvTable::kSize);
    {
        flashing::ImageFile file;
        if (!file.Open(path)) return StepResult::Failed("cannot open the NV backup " + path);
        if (file.Length() != NvTable::kSize) {
            ctx.line.Backends().messageBoxes.Show(kBadFile, flashing::kBoxTitle, platform::BoxButtons::Ok,
                                                  platform::BoxIcon::None);
            return StepResult::Failed("the NV backup " + path + " holds " + std::to_string(file.Length()) +
                                      " bytes, not one table of " + std::to_string(NvTable::kSize));
        }
        if (!file.ReadAt(0, bytes.data(), bytes.size())) return StepResult::Failed("cannot read the NV backup " + path);
    }
    const NvTable table = NvTable::Decode(std::span<const std::uint8_t, NvTable::kSize>(bytes));

    CPhoneProtocol& protocol = ctx.line.protocol;
    SetMode(protocol, diag::SetOffline);
    for (std::size_t i = 0; i < NvTable::kRecordCount; ++i) {
        ctx.Progress(Progress(i, progress::kRestoreFirst, progress::kRestoreSpan));
        const NvRecord& record = table[i];
        if (record.item >= kNvEndMark) break;
        // Items the backup could not read have nothing to restore.
        if (record.status != diag::NV_DONE_S) continue;
        if (!WriteItem(protocol, record)) {
            return StepResult::Failed("NV item " + std::to_string(record.item) + " could not be written back: " +
                                      protocol.LastError());
        }
    }
    SetMode(protocol, diag::SetOnline);
    return {};
}

}  // namespace workflow
