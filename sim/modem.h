#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/nv_store.h"

namespace sim {

using Bytes = std::vector<std::uint8_t>;

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

// An image as it reached the NAND flash.
struct FlashImage {
    Bytes header;
    Bytes data;
    bool closed = false;
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
};

// The simulated modem: its normal software (DIAG, NV items, the AT port),
// its boot downloader (DMSS) and the flash programmer it loads (streaming,
// checksum and segment modes), with a NAND store, a RAM area and a bus
// presence that follows resets. It is driven by a transport that hands it
// the host's bytes with the current tick and carries its replies back.
class SimModem {
public:
    static constexpr std::uint32_t kRamBase = 0x800000;
    static constexpr std::uint32_t kRamSize = 0x400000;
    static constexpr const char* kSpc = "000000";
    // How long the programmer waits for raw data before it reads requests
    // again.
    static constexpr std::uint32_t kRawIdleMs = 1000;

    explicit SimModem(ModemConfig config = {});

    void Connect(ISimLink* link) { m_link = link; }
    Faults& faults() { return m_faults; }
    NvStore& nv() { return m_nv; }

    // Host bytes arriving on a port at `now`.
    void Receive(SimPort port, const std::uint8_t* data, std::size_t length, std::uint32_t now);
    // Lets time pass: brings the device back on the bus when due.
    void Advance(std::uint32_t now);
    // The user pulls the device out; it comes back in normal mode after the
    // return delay unless `forGood`.
    void PullOut(std::uint32_t now, bool forGood);

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
    const std::map<std::uint8_t, FlashImage>& Images() const { return m_images; }
    const Bytes& PartitionTable() const { return m_partitionTable; }
    const Bytes& Ram() const { return m_ram; }
    std::uint32_t RamHighWater() const { return m_ramHighWater; }
    std::uint32_t StartAddress() const { return m_startAddress; }
    bool ChallengePassed() const { return m_challengePassed; }
    bool Offline() const { return m_offline; }
    std::uint8_t VendorFlag() const { return m_vendorFlag; }
    std::uint8_t Autorun() const { return m_autorun; }
    const std::vector<std::string>& AtCommands() const { return m_atCommands; }

private:
    void HandleDiagBytes(std::uint32_t now);
    void HandleModemBytes(std::uint32_t now);
    void HandleFrame(const Bytes& payload, std::uint32_t now);
    void HandleNormal(const Bytes& payload, std::uint32_t now);
    void HandleDownloader(const Bytes& payload, std::uint32_t now);
    void HandleProgrammer(const Bytes& payload, std::uint32_t now);
    void HandleRawData(std::uint32_t now);
    void HandleChecksumBlock(std::uint32_t now);
    void HandleSegment(std::uint32_t now);
    void SignalReady(const std::string& name);

    void Record(std::uint32_t now, const std::string& name, const Bytes& payload);
    // Sends a reply frame unless a fault for `name` says otherwise. False
    // when the fault stands for a device that refused or ignored the request,
    // so that the request must not take effect.
    bool Reply(const std::string& name, Bytes payload);
    Bytes EncodeFrame(const Bytes& payload, bool damage) const;
    void StoreImageData(std::uint32_t offset, const std::uint8_t* data, std::size_t length);

    void LeaveBus(SimMode nextMode, std::uint32_t delayMs, std::uint32_t now);

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
    std::string m_modemInput;
    std::vector<ReceivedRequest> m_received;
    std::vector<std::string> m_atCommands;

    // Normal software.
    bool m_offline = false;
    bool m_spcAccepted = false;
    std::uint8_t m_vendorFlag = 0;
    std::uint8_t m_autorun = 1;
    Bytes m_challenge;
    bool m_challengePassed = false;

    // Boot downloader.
    Bytes m_ram;
    std::uint32_t m_ramHighWater = 0;
    std::uint32_t m_startAddress = 0;

    // Flash programmer.
    bool m_greeted = false;
    Bytes m_partitionTable;
    std::map<std::uint8_t, FlashImage> m_images;
    int m_openType = -1;
    enum class RawState { None, Checksum, Segment } m_raw = RawState::None;
    std::uint32_t m_rawImageSize = 0;    // checksum mode: the announced image size
    std::uint32_t m_rawOffset = 0;       // checksum mode: offset of the expected block
    std::uint32_t m_rawExpected = 0;     // bytes the current raw transfer still needs
    std::uint32_t m_rawActivity = 0;     // tick of the last raw data, or of the wait's start
    std::uint32_t m_segmentBase = 0;     // segment mode: image offset of the segment
    int m_blockRejections = 0;
    Bytes m_rawBuffer;
    std::uint64_t m_imageBytes = 0;      // image data received since the programmer started
};

}  // namespace sim
