// Makes the payloads built into this program its payload store, before main
// runs. The library's link option asks for the anchor below, which pulls
// this file out of the archive into every program that links the library.
#include "platform/payload_store.h"

#ifdef _WIN32
#include "platform/payload_store_win32.h"
#else
#include "payload/linked_payloads.h"
#endif

extern "C" const char upgrader_payload_store_anchor = 0;

namespace {

#ifdef _WIN32
using EmbeddedPayloadStore = platform::Win32ResourcePayloadStore;
#else
class EmbeddedPayloadStore final : public platform::IPayloadStore {
public:
    std::optional<std::span<const std::uint8_t>> Find(int id) override
    {
        for (const payload::LinkedPayload& linked : payload::kLinkedPayloads) {
            if (linked.id == id) return std::span<const std::uint8_t>(linked.begin, linked.end);
        }
        return std::nullopt;
    }
};
#endif

EmbeddedPayloadStore g_store;

struct Installer {
    Installer() { platform::SetEmbeddedPayloadStore(&g_store); }
} g_installer;

}  // namespace
