// The machine facts, read through the sysctl stand-in and the system version file.
#include "Shared Code/KTWSystemInformation.h"

#include "Shared Code/KTWExceptions.h"
#include "platform/sysinfo/Sysctl.h"

#include <algorithm>
#include <cerrno>
#include <new>

namespace lumsift {
namespace {

// Stores `cause` (by default errno's) in `error` when one is asked for.
std::nullopt_t failed(std::error_code* error,
                      std::error_code cause = std::error_code(errno, std::generic_category())) {
    if (error != nullptr)
        *error = cause;
    return std::nullopt;
}

// The buffer starts zeroed, so a value shorter than T leaves its high-order bytes 0.
template <typename T>
std::optional<T> valueForSysctlName(const char* name, std::error_code* error) {
    requireParameter(name != nullptr, "NULL != name");
    T value = 0;
    std::size_t length = sizeof value;
    if (sysinfo::sysctlbyname(name, &value, &length, nullptr, 0) == -1)
        return failed(error);
    return value;
}

template <typename T> std::optional<T> valueForMIB(int second) {
    const int mib[2] = {sysinfo::CTL_HW, second};
    T value = 0;
    std::size_t length = sizeof value;
    if (sysinfo::sysctl(mib, 2, &value, &length, nullptr, 0) == -1)
        return std::nullopt;
    return value;
}

std::optional<std::string> systemVersionValue(const char* key) {
    const auto dictionary = sysinfo::readSystemVersion();
    if (!dictionary)
        return std::nullopt;
    return plist::stringValue(plist::dictItem(dictionary->get(), key));
}

} // namespace

std::optional<std::string> stringForMIB(const int32_t* mib, unsigned mibLength,
                                        std::error_code* error) {
    requireParameter(mib != nullptr, "NULL != mib");
    std::size_t length = 0;
    if (sysinfo::sysctl(mib, mibLength, nullptr, &length, nullptr, 0) == -1)
        return failed(error);
    std::string buffer;
    try {
        buffer.resize(length);
    } catch (const std::bad_alloc&) {
        return failed(error, std::make_error_code(std::errc::not_enough_memory));
    }
    if (sysinfo::sysctl(mib, mibLength, buffer.data(), &length, nullptr, 0) == -1)
        return failed(error);
    // Drop the terminating zero; a value of no bytes at all is the empty text.
    buffer.resize(length == 0 ? 0 : length - 1);
    if (!std::all_of(buffer.begin(), buffer.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return failed(error, std::make_error_code(std::errc::illegal_byte_sequence));
    return buffer;
}

std::optional<int64_t> int64ForSysctlName(const char* name, std::error_code* error) {
    return valueForSysctlName<int64_t>(name, error);
}

std::optional<int64_t> int32ForSysctlName(const char* name, std::error_code* error) {
    return valueForSysctlName<int32_t>(name, error);
}

const KTWSystemInformation& KTWSystemInformation::instance() {
    static const KTWSystemInformation shared;
    return shared;
}

std::optional<std::string> KTWSystemInformation::machine() const {
    const int32_t mib[2] = {sysinfo::CTL_HW, sysinfo::HW_MACHINE};
    return stringForMIB(mib, 2);
}

std::optional<std::string> KTWSystemInformation::model() const {
    const int32_t mib[2] = {sysinfo::CTL_HW, sysinfo::HW_MODEL};
    return stringForMIB(mib, 2);
}

std::optional<int64_t> KTWSystemInformation::physicalMemory() const {
    return valueForMIB<int64_t>(sysinfo::HW_MEMSIZE);
}

std::optional<int64_t> KTWSystemInformation::busFrequency() const {
    return int64ForSysctlName("hw.busfrequency");
}

std::optional<int64_t> KTWSystemInformation::CPUFrequency() const {
    return int64ForSysctlName("hw.cpufrequency");
}

std::optional<int64_t> KTWSystemInformation::CPUFamily() const {
    return int32ForSysctlName("hw.cpufamily");
}

std::optional<int64_t> KTWSystemInformation::CPUType() const {
    return int32ForSysctlName("hw.cputype");
}

std::optional<int64_t> KTWSystemInformation::CPUSubtype() const {
    return int32ForSysctlName("hw.cpusubtype");
}

std::optional<int32_t> KTWSystemInformation::numberOfCPUs() const {
    return valueForMIB<int32_t>(sysinfo::HW_NCPU);
}

std::optional<int64_t> KTWSystemInformation::physicalCPUs() const {
    return int32ForSysctlName("hw.physicalcpu");
}

std::optional<int64_t> KTWSystemInformation::logicalCPUs() const {
    return int32ForSysctlName("hw.logicalcpu");
}

std::optional<std::string> KTWSystemInformation::systemVersion() const {
    return systemVersionValue("ProductVersion");
}

std::optional<std::string> KTWSystemInformation::systemBuildVersion() const {
    return systemVersionValue("ProductBuildVersion");
}

} // namespace lumsift
