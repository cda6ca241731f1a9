// device_session: one pass through every protocol the host speaks (normal
// mode, boot downloader, flash programmer) against a modem on real serial
// ports, saving what it writes to compare with what the device stored.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "diag/diag_commands.h"
#include "diag/nv_items.h"
#include "download/dmss.h"
#include "download/streaming.h"
#include "link/at_channel.h"
#include "link/frame_codec.h"
#include "link/phone_protocol.h"
#include "platform/backends.h"
#include "../support/test_files.h"

namespace {

namespace fs = std::filesystem;

fs::path g_out;

// Pseudo-random bytes, saved under `name` in the output folder as what was
// sent.
Bytes Sent(const char* name, std::size_t size, std::uint32_t seed)
{
    const Bytes bytes = Pattern(size, seed);
    WriteFile(g_out / name, bytes);
    return bytes;
}

int g_failures = 0;

bool Step(const char* what, bool ok, const std::string& reason = "")
{
    std::printf("%-44s %s%s%s\n", what, ok ? "ok" : "FAILED", ok || reason.empty() ? "" : ": ", ok ? "" : reason.c_str());
    std::fflush(stdout);
    if (!ok) ++g_failures;
    return ok;
}

bool Step(const char* what, const StepResult& result) { return Step(what, static_cast<bool>(result), result.Reason()); }

int EnvNumber(const char* name, int fallback)
{
    const char* value = std::getenv(name);
    return value ? std::atoi(value) : fallback;
}

// The device re-enumerates after a mode change; its port comes back a moment
// later.
bool Reopen(CSerialPort& port, int number, std::uint32_t withinMs)
{
    platform::IClock& clock = port.Clock();
    port.Close();
    const std::uint32_t start = clock.TickCount();
    while (!port.Open(number, 115200, 8, 1)) {
        if (clock.TickCount() - start > withinMs) return false;
        clock.SleepMs(100);
    }
    return true;
}

bool StreamImage(CPhoneProtocol& protocol, download::StreamInbox& inbox, const Bytes& image)
{
    for (std::size_t sent = 0; sent < image.size(); sent += 1024) {
        const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(1024, image.size() - sent));
        if (!download::StreamWrite(protocol, inbox, static_cast<std::uint32_t>(sent), image.data() + sent, length)) return false;
    }
    return static_cast<bool>(download::CloseImage(protocol));
}

// Reads the programmer's reports until one acknowledges `last`, or `idleRounds`
// reads in a row brought none, pausing `pauseMs` after each read.
bool AcknowledgedUpTo(CPhoneProtocol& protocol, download::StreamInbox& inbox, std::uint32_t last, int idleRounds, std::uint32_t pauseMs)
{
    std::uint32_t highest = 0;
    for (int idle = 0; idle < idleRounds && highest < last;) {
        static_cast<void>(download::ReadOneFrame(protocol, inbox));  // a damaged frame reports nothing
        if (!inbox.Acknowledged().empty()) highest = inbox.Acknowledged().back();
        else ++idle;
        protocol.port.Clock().SleepMs(pauseMs);
    }
    return highest == last;
}

bool ChecksumModeImage(CPhoneProtocol& protocol, download::StreamInbox& inbox, const Bytes& image)
{
    if (!download::SendRegionCommand(protocol, static_cast<std::uint32_t>(image.size()), 1)) return false;
    if (!download::WaitReady(protocol, inbox)) return false;
    Bytes block = image;
    const std::uint32_t sum = frame::BlockChecksum(image.data(), image.size());
    for (int i = 0; i < 4; ++i) block.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));
    if (protocol.port.Write(block.data(), static_cast<std::uint32_t>(block.size())) != block.size()) return false;
    bool verified = false;
    static_cast<void>(download::WaitVerify(protocol, inbox, verified));  // always true: `verified` decides
    return verified && AcknowledgedUpTo(protocol, inbox, static_cast<std::uint32_t>(image.size() - 1), 100, 10) &&
           download::CloseImage(protocol);
}

bool SegmentImage(CPhoneProtocol& protocol, download::StreamInbox& inbox, const fs::path& file, std::uint32_t size)
{
    std::uint8_t crc1 = 0;
    std::uint8_t crc2 = 0;
    std::ifstream in(file, std::ios::binary);
    const auto read = [&](std::uint64_t offset, std::uint8_t* data, std::size_t length) {
        in.seekg(static_cast<std::streamoff>(offset));
        return static_cast<bool>(in.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(length)));
    };
    if (!download::RegionChecksum(read, 0, size, crc1, crc2)) return false;
    if (!download::SendRegionCommand(protocol, size, 0, crc1, crc2)) return false;
    in.seekg(0);
    Bytes chunk(0x21000);
    for (std::uint32_t sent = 0; sent < size;) {
        const auto length = std::min<std::uint32_t>(0x21000, size - sent);
        in.read(reinterpret_cast<char*>(chunk.data()), length);
        if (protocol.port.Write(chunk.data(), length) != length) return false;
        sent += length;
    }
    protocol.port.Clock().SleepMs(3000);
    bool crcSeen = false;
    for (int round = 0; round < 600 && !crcSeen; ++round) {
        static_cast<void>(download::ReadOneFrame(protocol, inbox));  // a damaged frame reports nothing
        protocol.port.Clock().SleepMs(100);
        if (inbox.Acknowledged().empty()) continue;
        const std::uint32_t value = inbox.Acknowledged()[0];
        if (((value >> 16) & 0xFF) != crc1 || (value >> 24) != crc2) return false;
        crcSeen = true;
    }
    return crcSeen && AcknowledgedUpTo(protocol, inbox, size - 1, 10000, 1) && download::CloseImage(protocol);
}

}  // namespace

int main()
{
    const int diagPort = EnvNumber("SESSION_DIAG_PORT", 22);
    const int modemPort = EnvNumber("SESSION_MODEM_PORT", 23);
    const char* outEnv = std::getenv("SESSION_OUT");
    g_out = outEnv ? outEnv : "sent";
    std::error_code ec;
    fs::create_directories(g_out, ec);

    platform::RealClock clock;
    const std::unique_ptr<platform::ISerialPorts> ports = platform::SystemSerialPorts();
    CPhoneProtocol protocol(clock, *ports);
    download::StreamInbox inbox;
    protocol.failureLogPath = (g_out / "ByteLog.txt").string();
    CAtChannel at(clock, *ports);
    if (!Step("open the diagnostic port", Reopen(protocol.port, diagPort, 5000))) return 1;
    Step("open the modem port", Reopen(at.port, modemPort, 5000));
    at.SetTimeout(1000);
    at.SetAttempts(2);

    diag::VersionRecord versions{};
    if (Step("read the four versions", diag::GetFourVersions(protocol, versions))) {
        std::printf("    software \"%s\", product \"%s\"\n", versions.fields[0], versions.fields[8]);
    }
    std::uint32_t esn = 0;
    if (Step("read the ESN", diag::GetEsn(protocol, esn))) std::printf("    ESN 0x%08X\n", esn);
    Step("AT+KCDRUN=E on the modem port", at.SendCommand("AT+KCDRUN=E"));

    std::array<std::uint8_t, 128> item{};
    std::uint16_t status = 0;
    Step("read NV item 22", diag::NvRead(protocol, 22, item, status));
    std::array<std::uint8_t, 128> changed = item;
    std::fill(changed.begin() + 22, changed.begin() + 50, 0);
    Step("write NV item 22", diag::NvWrite(protocol, 22, changed, status));
    std::array<std::uint8_t, 128> back{};
    Step("read NV item 22 back", diag::NvRead(protocol, 22, back, status) && back == changed, protocol.LastError());

    Step("switch to the boot downloader", diag::SwitchToDownloader(protocol));
    at.port.Close();
    protocol.port.Clock().SleepMs(500);
    if (!Step("reopen the diagnostic port", Reopen(protocol.port, diagPort, 10000))) return 1;
    Step("no operation", download::DmssNop(protocol));
    download::FlashInfo info{};
    Step("parameters", download::DmssGetParams(protocol, info));

    const Bytes ram = Sent("ram.bin", 3000, 1);
    bool written = true;
    for (std::size_t sent = 0; sent < ram.size() && written; sent += 1017) {
        const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(1017, ram.size() - sent));
        written = static_cast<bool>(download::DmssWrite(protocol, 0x800000 + static_cast<std::uint32_t>(sent), ram.data() + sent, length));
    }
    Step("write the RAM image", written, protocol.LastError());
    Step("start it", download::DmssGo(protocol, 0x0080, 0x0000));

    Step("greet the programmer", download::Hello(protocol));
    Step("enter security mode", download::EnterSecurityMode(protocol));
    const Bytes table = Sent("partition.bin", 464, 2);
    Step("send the partition table", download::SendPartitionTable(protocol, table.data(), 464));

    const Bytes bootHeader = Sent("image-4.header", 40, 3);
    Step("open image 4 with its header", download::OpenMultiImage(protocol, 4, bootHeader.data(), 40));
    Step("stream image 4 and close it", StreamImage(protocol, inbox, Sent("image-4.bin", 2500, 4)), protocol.LastError());

    const Bytes amssHeader = Sent("image-5.header", 40, 5);
    Step("open image 5 with its header", download::OpenMultiImage(protocol, 5, amssHeader.data(), 40));
    Step("image 5 as one checksum-mode block", ChecksumModeImage(protocol, inbox, Sent("image-5.bin", 0x15000, 6)),
         protocol.LastError());

    Sent("image-9.header", 0, 0);
    const auto efsSize = static_cast<std::uint32_t>(Sent("image-9.bin", 0x48000 + 77, 7).size());
    Step("open image 9", download::OpenMultiImage(protocol, 9, nullptr, 0));
    Step("image 9 as one segment", SegmentImage(protocol, inbox, g_out / "image-9.bin", efsSize), protocol.LastError());

    Step("reset", download::StreamReset(protocol));
    protocol.port.Close();
    std::printf("%d step(s) failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
