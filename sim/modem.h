#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/boot_downloader.h"
#include "sim/faults.h"
#include "sim/flash_programmer.h"
#include "sim/normal_software.h"
#include "sim/nv_store.h"
#include "sim/wire_fields.h"

namespace sim {

enum class SimPort { Diag, Modem };
enum class SimMode { Normal, Downloader, Programmer };

const char* ModeName(SimMode mode);

// Where the device's replies and bus events go: a transport implements it.
class ISimLink {
public:
    virtual ~ISimLink() = default;
    // Bytes the device sends on a port, leaving after `delayMs`.
    virtual void Send(SimPort port, const Bytes& bytes, std::uint32_t delayMs) = 0;
    // The device left or joined the bus, or its port numbers changed.
    virtual void BusChanged() = 0;
};

// One request as the device understood it.
struct ReceivedRequest {
    std::uint32_t tick;
    SimMode mode;
    std::string name;   // "esn", "nvread", "dmsswrite", "swrite", "rawblock", "at", ...
    Bytes payload;      // unescaped payload without CRC, or the AT text
};

struct ModemConfig {
    int diagPort = 12;
    int modemPort = 13;
    // Port numbers move by this much each time the device comes back.
    int renumberStep = 0;
    std::uint32_t returnDelayMs = 4000;      // reset until the ports are back
    std::uint32_t downloaderDelayMs = 1500;  // switch until the boot downloader's port is back
    std::uint32_t replyDelayMs = 2;          // every reply takes this long
    std::uint32_t esn = 0x12345678;
    std::string softwareVersion = "M6280A-KCDRUN-1.0.0";
    std::string productText = "BEL_MD_LR520S";
    std::uint32_t nvSerial = 0x5EED0001;
    // The NAND that all images share.
    std::uint64_t flashSize = 0x8000000;
    // The mode it is switched on in; none: the one its flash boots into
    // (see SimModem::BootMode), the normal software on a fresh device.
    std::optional<SimMode> startMode = std::nullopt;
};

// The simulated modem: a device with a bus presence that follows resets, two
// ports and their framing, switchable faults and a record of every request.
// One personality at a time answers on it: the normal software, the boot
// downloader, or the flash programmer the boot downloader loads. A transport
// drives it, handing it the host's bytes with the current tick and carrying
// its replies back.
class SimModem {
public:
    explicit SimModem(ModemConfig config = {});
    SimModem(const SimModem&) = delete;
    SimModem& operator=(const SimModem&) = delete;

    void Connect(ISimLink* link) { m_link = link; }
    Faults& faults() { return m_faults; }
    NvStore& nv() { return m_nv; }

    // Host bytes arriving on a port at `now`.
    void Receive(SimPort port, const std::uint8_t* data, std::size_t length, std::uint32_t now);
    // Lets time pass: brings the device back on the bus when due.
    void Advance(std::uint32_t now);
    // The user pulls the device out; it comes back after the return delay
    // unless `forGood`.
    void PullOut(std::uint32_t now, bool forGood);
    // The mode a reset or power cycle brings it back in: the normal software
    // when its flash boots, else the boot downloader.
    SimMode BootMode() const { return m_programmer.FlashBoots() ? SimMode::Normal : SimMode::Downloader; }

    // What outlives a power cut, its flash and its NV items, as the bytes of
    // a state file; a new store read from them switches the device on again.
    Bytes SaveState() const;
    bool LoadState(const Bytes& state, std::string& error);
    // The state's two parts, the flash's and then the NV items': the first
    // is large and changes seldom.
    Bytes SaveFlashState() const;
    Bytes SaveNvState() const;
    // Counts the changes of the flash (partition table, an image opened or
    // closed) and of the NV items that a kept state must follow, and of the
    // flash alone.
    std::uint64_t StoreChanges() const { return m_storeChanges; }
    std::uint64_t FlashChanges() const { return m_flashChanges; }

    bool Present() const { return m_present; }
    SimMode Mode() const { return m_mode; }
    int DiagPort() const { return m_diagPort; }
    // The modem port exists only while the normal software runs.
    int ModemPort() const { return m_mode == SimMode::Normal ? m_modemPort : -1; }
    int Generation() const { return m_generation; }
    std::uint32_t NextEventTick() const { return m_returnAt; }
    bool EventPending() const { return m_returnPending; }

    const std::vector<ReceivedRequest>& Received() const { return m_received; }
    std::vector<std::string> RequestNames() const;
    const std::map<std::uint8_t, FlashImage>& Images() const { return m_programmer.Images(); }
    const Bytes& PartitionTable() const { return m_programmer.PartitionTable(); }
    const Bytes& Ram() const { return m_downloader.Ram(); }
    std::uint32_t RamHighWater() const { return m_downloader.RamHighWater(); }
    std::uint32_t StartAddress() const { return m_downloader.StartAddress(); }
    bool ChallengePassed() const { return m_normal.ChallengePassed(); }
    bool Offline() const { return m_normal.Offline(); }
    std::uint8_t VendorFlag() const { return m_normal.VendorFlag(); }
    std::uint8_t Autorun() const { return m_normal.Autorun(); }
    const std::vector<std::string>& AtCommands() const { return m_normal.AtCommands(); }

private:
    // The personalities run on the device and answer through it.
    friend class NormalSoftware;
    friend class BootDownloader;
    friend class FlashProgrammer;

    // Every name the personalities answer under: those reply faults may use.
    static const std::set<std::string>& KnownRequests();
    void HandleDiagBytes(std::uint32_t now);
    void HandleFrame(const Bytes& payload, std::uint32_t now);

    void Record(std::uint32_t now, const std::string& name, const Bytes& payload);
    // Sends a reply frame unless a fault for `name` says otherwise. False
    // when the fault stands for a device that refused or ignored the request,
    // so that the request must not take effect.
    bool Reply(const std::string& name, Bytes payload);
    // Sends a text reply as the fault `rule`, if any, changes it.
    void ReplyText(SimPort port, std::string text, const std::optional<ReplyRule>& rule);
    // Appends the frame of `payload` to `out`.
    void EncodeFrame(const Bytes& payload, bool damage, Bytes& out) const;
    // The CRC bytes as sent, the high one spoilt when `damage`.
    static std::array<std::uint8_t, 2> FrameCrc(const Bytes& payload, bool damage);
    // The size of EncodeFrame's frame, counted without building it.
    std::size_t FramedSize(const Bytes& payload, const std::array<std::uint8_t, 2>& crc) const;
    std::size_t FramedSize(const Bytes& payload) const { return FramedSize(payload, FrameCrc(payload, false)); }

    void LeaveBus(SimMode nextMode, std::uint32_t delayMs, std::uint32_t now);
    // A reset: off the bus, back in the mode its flash boots into.
    void Reboot(std::uint32_t now) { LeaveBus(BootMode(), m_config.returnDelayMs, now); }
    void SwitchOn();
    void StoreChanged() { ++m_storeChanges; }
    void FlashChanged()
    {
        ++m_flashChanges;
        StoreChanged();
    }
    // The boot downloader hands the port to the programmer it loaded.
    void StartProgrammer();

    ModemConfig m_config;
    ISimLink* m_link = nullptr;
    Faults m_faults;
    NvStore m_nv;

    bool m_present = true;
    SimMode m_mode = SimMode::Normal;
    int m_diagPort;
    int m_modemPort;
    int m_generation = 0;
    bool m_returnPending = false;
    std::uint32_t m_returnAt = 0;
    SimMode m_returnMode = SimMode::Normal;

    Bytes m_diagInput;
    // The request being handled and the frame being sent, kept so that each
    // does not cost a buffer; the record and the link copy what they keep.
    Bytes m_request;
    Bytes m_frame;
    std::string m_modemInput;
    std::vector<ReceivedRequest> m_received;
    std::uint64_t m_storeChanges = 0;
    std::uint64_t m_flashChanges = 0;

    NormalSoftware m_normal{*this};
    BootDownloader m_downloader{*this};
    FlashProgrammer m_programmer{*this};
};

}  // namespace sim
