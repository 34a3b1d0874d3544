// Keeping the machine from idle sleep while long work runs (systemd-logind "idle" inhibitor).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace lumsift {

class PowerAssertions {
public:
    virtual ~PowerAssertions() = default;
    // Takes an assertion that keeps the machine from idle sleep, named `name`. Returns its
    // identifier, or nullopt when it cannot be taken (no bus, no logind): the caller goes on.
    virtual std::optional<uint32_t> createNoIdleSleepAssertion(std::string_view name) = 0;
    // Releases an assertion this object returned. Safe to call once per identifier.
    virtual void release(uint32_t id) = 0;
};

// The system's implementation over D-Bus. Never null.
std::shared_ptr<PowerAssertions> makeSystemPowerAssertions();

} // namespace lumsift
