#pragma once

#include "platform/payload_store.h"

namespace platform {

// The payloads of the running program's own module: resources of type
// "SOURCEMBN" in language 2052, numbered by payload id.
class Win32ResourcePayloadStore final : public IPayloadStore {
public:
    std::optional<std::span<const std::uint8_t>> Find(int id) override;
};

}  // namespace platform
