#include "platform/payload_store.h"

#include <atomic>

namespace platform {
namespace {

// Both are constant-initialised, so the embedded store may be installed by
// a static initialiser of any translation unit.
std::atomic<IPayloadStore*> g_store{nullptr};
std::atomic<IPayloadStore*> g_embedded{nullptr};

// A program that embeds no payloads.
class EmptyPayloadStore final : public IPayloadStore {
public:
    std::optional<std::span<const std::uint8_t>> Find(int) override { return std::nullopt; }
};

}  // namespace

IPayloadStore& PayloadStore()
{
    static EmptyPayloadStore empty;
    if (IPayloadStore* store = g_store.load()) return *store;
    if (IPayloadStore* store = g_embedded.load()) return *store;
    return empty;
}

IPayloadStore* SetPayloadStore(IPayloadStore* store) { return g_store.exchange(store); }

void SetEmbeddedPayloadStore(IPayloadStore* store) { g_embedded.store(store); }

}  // namespace platform
