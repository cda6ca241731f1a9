#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace platform {

// The numbered payload files the program carries inside itself.
class IPayloadStore {
public:
    virtual ~IPayloadStore() = default;
    // The exact bytes of payload `id`; nothing when the store has no such id.
    virtual std::optional<std::span<const std::uint8_t>> Find(int id) = 0;
};

// The payloads built into this program, for its front end to hand down; an
// empty store in a program that links no payload library.
IPayloadStore& EmbeddedPayloads();
// Called once before main by the payload store library (payload/), so that
// only programs that link it carry payloads.
void SetEmbeddedPayloadStore(IPayloadStore* store);

// Payloads held in memory, for tests.
class MemoryPayloadStore final : public IPayloadStore {
public:
    void Add(int id, std::vector<std::uint8_t> bytes) { m_payloads[id] = std::move(bytes); }
    std::optional<std::span<const std::uint8_t>> Find(int id) override
    {
        auto it = m_payloads.find(id);
        if (it == m_payloads.end()) return std::nullopt;
        return std::span<const std::uint8_t>(it->second);
    }

private:
    std::map<int, std::vector<std::uint8_t>> m_payloads;
};

}  // namespace platform
