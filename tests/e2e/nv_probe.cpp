// nv_probe: reads a sample of the backed-up NV items from the modem whose
// ports the registry names, one line per item ("item status data" in hex),
// to standard output. It waits for the device to be on the bus and to
// answer first, so it can run right after the device was reset. Two samples,
// before and after an upgrade, must be equal: the new file-system image
// resets every item to its factory value, so only a correct restore brings
// the device's own values back.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "diag/diag_commands.h"
#include "diag/nv_items.h"
#include "platform/backends.h"
#include "workflow/nv_backup.h"
#include "workflow/port_discovery.h"

namespace {

// Every item at this step through the backup's list; item 22 is left out
// because the upgrade rewrites part of it on purpose.
constexpr std::size_t kStep = 25;
constexpr std::uint16_t kRewrittenItem = 22;

bool DeviceAnswers(platform::IPortFinder& finder, DownloadLine& line)
{
    return FindPorts(finder, line) && OpenDiagPort(line, line.diagPort, 115200) && diag::CheckCommunication(line.protocol);
}

}  // namespace

int main(int argc, char** argv)
{
    const int waitSeconds = argc > 1 ? std::atoi(argv[1]) : 30;
    platform::RealClock clock;
    const platform::SystemBackends system(clock);
    DownloadLine line(system.Get());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    while (!DeviceAnswers(line.Backends().portFinder, line)) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "nv_probe: no device answered within %d s\n", waitSeconds);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }

    const auto& items = workflow::NvItemList();
    int failures = 0;
    for (std::size_t i = 0; i < workflow::kNvListedItems; i += kStep) {
        if (items[i] == kRewrittenItem) continue;
        std::array<std::uint8_t, diag::kNvDataSize> data{};
        std::uint16_t status = 0;
        bool read = false;
        for (int attempt = 0; attempt < 3 && !read; ++attempt) {
            read = diag::NvRead(line.protocol, items[i], data, status) || status != diag::NV_RWOPFAILED_S;
        }
        if (!read) ++failures;
        std::printf("%u %u ", items[i], status);
        for (const std::uint8_t byte : data) std::printf("%02X", byte);
        std::printf("\n");
    }
    if (failures > 0) std::fprintf(stderr, "nv_probe: %d items got no valid reply\n", failures);
    return failures == 0 ? 0 : 1;
}
