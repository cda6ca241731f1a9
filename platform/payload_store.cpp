#include "platform/payload_store.h"

#include <atomic>

namespace platform {
namespace {

// Constant-initialised, so that a static initialiser of any translation
// unit may set it; nothing changes it once main runs.
std::atomic<IPayloadStore*> g_embedded{nullptr};

// A program that embeds no payloads.
class EmptyPayloadStore final : public IPayloadStore {
public:
    std::optional<std::span<const std::uint8_t>> Find(int) override { return std::nullopt; }
};

}  // namespace

IPayloadStore& EmbeddedPayloads()
{
    static EmptyPayloadStore empty;
    if (IPayloadStore* store = g_embedded.load()) return *store;
    return empty;
}

void SetEmbeddedPayloadStore(IPayloadStore* store) { g_embedded.store(store); }

}  // namespace platform
