// Facts about the machine and its operating system for a crash report: hardware class and model,
// memory, frequencies, processor family, type and subtype, processor counts, system version and
// build. Each is read afresh; a fact that cannot be read is nullopt. No Qt types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace lumsift {

// The text of the two-level (or longer) name `mib` (borrowed, `mibLength` entries, must not be
// null: throws InvalidParameterException "NULL != mib") without its terminating zero. nullopt
// when the read fails or the text is not ASCII; then `error` (optional, borrowed) receives the
// cause.
std::optional<std::string> stringForMIB(const int32_t* mib, unsigned mibLength,
                                        std::error_code* error = nullptr);
// The 8-byte value of `name` (zero-terminated, borrowed, must not be null: throws
// InvalidParameterException "NULL != name"), or nullopt with `error` (optional) set.
std::optional<int64_t> int64ForSysctlName(const char* name, std::error_code* error = nullptr);
// The 4-byte signed value of `name`, widened with its sign; otherwise as int64ForSysctlName.
std::optional<int64_t> int32ForSysctlName(const char* name, std::error_code* error = nullptr);

class KTWSystemInformation {
public:
    // One instance for the whole process, made on first use (safe from any thread).
    static const KTWSystemInformation& instance();

    // Each returns the fact or nullopt when it cannot be read; safe from any thread.
    std::optional<std::string> machine() const;
    std::optional<std::string> model() const;
    std::optional<int64_t> physicalMemory() const;
    std::optional<int64_t> busFrequency() const;
    std::optional<int64_t> CPUFrequency() const;
    std::optional<int64_t> CPUFamily() const;
    std::optional<int64_t> CPUType() const;
    std::optional<int64_t> CPUSubtype() const;
    std::optional<int32_t> numberOfCPUs() const;
    std::optional<int64_t> physicalCPUs() const;
    std::optional<int64_t> logicalCPUs() const;
    // Read from the system version file, afresh each call.
    std::optional<std::string> systemVersion() const;
    std::optional<std::string> systemBuildVersion() const;
};

} // namespace lumsift
