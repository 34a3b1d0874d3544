// The hardware names answered from Linux sources. Each answer is made afresh as bytes (a string
// with its zero, or a number at its own width), then copied out by the rules of `sysctl`.
#include "platform/sysinfo/Sysctl.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <sys/utsname.h>
#include <utility>
#include <vector>

namespace lumsift::sysinfo {
namespace {

using Bytes = std::optional<std::string>;

std::mutex& rootMutex() {
    static std::mutex m;
    return m;
}
std::filesystem::path& rootSlot() {
    static std::filesystem::path root = "/";
    return root;
}
std::filesystem::path underRoot(std::string_view path) {
    std::lock_guard lock(rootMutex());
    return rootSlot() / path;
}

std::optional<std::string> readFile(std::string_view path) {
    std::ifstream in(underRoot(path), std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

// Whole text of a number in base 10, or base 16 with "0x"; nullopt for anything else.
std::optional<uint64_t> parseUnsigned(const std::string& text) {
    if (text.empty() || text.front() == '-')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0')
        return std::nullopt;
    return value;
}

template <typename T> std::string asBytes(T value) {
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes int32Value(std::optional<uint64_t> value) {
    if (!value || *value > UINT32_MAX)
        return std::nullopt;
    return asBytes(static_cast<uint32_t>(*value));
}
Bytes int64Value(std::optional<uint64_t> value) {
    if (!value || *value > INT64_MAX)
        return std::nullopt;
    return asBytes(static_cast<int64_t>(*value));
}
Bytes stringValue(std::optional<std::string> text) {
    if (!text)
        return std::nullopt;
    return *text + '\0';
}

// /proc/cpuinfo: one block of "key : value" lines per processor.
using CpuBlock = std::map<std::string, std::string>;
std::vector<CpuBlock> cpuBlocks() {
    std::vector<CpuBlock> blocks;
    const auto text = readFile("proc/cpuinfo");
    if (!text)
        return blocks;
    CpuBlock block;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            if (!block.empty())
                blocks.push_back(std::exchange(block, {}));
            continue;
        }
        block.emplace(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    if (!block.empty())
        blocks.push_back(std::move(block));
    return blocks;
}

// The first processor's value for the first of `keys` that it has.
std::optional<std::string> cpuField(std::initializer_list<std::string_view> keys) {
    const auto blocks = cpuBlocks();
    if (blocks.empty())
        return std::nullopt;
    for (const auto key : keys) {
        if (const auto it = blocks.front().find(std::string(key)); it != blocks.front().end())
            return it->second;
    }
    return std::nullopt;
}

std::optional<uint64_t> logicalCPUs() {
    const auto blocks = cpuBlocks();
    const auto count = std::count_if(blocks.begin(), blocks.end(),
                                     [](const CpuBlock& b) { return b.contains("processor"); });
    if (count == 0)
        return std::nullopt;
    return static_cast<uint64_t>(count);
}

// Distinct (package, core) pairs: from /sys topology, else from /proc/cpuinfo.
std::optional<uint64_t> physicalCPUs() {
    std::set<std::pair<std::string, std::string>> cores;
    const auto cpuFolder = underRoot("sys/devices/system/cpu");
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(cpuFolder, ec)) {
        const auto name = entry.path().filename().string();
        if (!name.starts_with("cpu") || name.size() == 3 ||
            !std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const std::string topology = "sys/devices/system/cpu/" + name + "/topology/";
        const auto package = readFile(topology + "physical_package_id");
        const auto core = readFile(topology + "core_id");
        if (package && core)
            cores.emplace(trim(*package), trim(*core));
    }
    if (cores.empty()) {
        for (const auto& block : cpuBlocks()) {
            const auto package = block.find("physical id");
            const auto core = block.find("core id");
            if (package != block.end() && core != block.end())
                cores.emplace(package->second, core->second);
        }
    }
    if (cores.empty())
        return std::nullopt;
    return cores.size();
}

std::optional<uint64_t> memorySize() {
    const auto text = readFile("proc/meminfo");
    if (!text)
        return std::nullopt;
    const auto at = text->find("MemTotal:");
    if (at == std::string::npos)
        return std::nullopt;
    const auto lineEnd = text->find('\n', at);
    std::string value = trim(std::string_view(*text).substr(at + 9, lineEnd - at - 9));
    if (!value.ends_with(" kB"))
        return std::nullopt;
    value = trim(value.substr(0, value.size() - 3));
    const auto kilobytes = parseUnsigned(value);
    if (!kilobytes || *kilobytes > UINT64_MAX / 1024)
        return std::nullopt;
    return *kilobytes * 1024;
}

// In hertz: the highest frequency the kernel's frequency driver knows, else the "cpu MHz" line.
std::optional<uint64_t> cpuFrequency() {
    if (const auto khz = readFile("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq")) {
        if (const auto value = parseUnsigned(trim(*khz)); value && *value <= UINT64_MAX / 1000)
            return *value * 1000;
    }
    const auto mhz = cpuField({"cpu MHz"});
    if (!mhz)
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(mhz->c_str(), &end);
    if (end == mhz->c_str() || *end != '\0' || !(value > 0) || value > 1e12)
        return std::nullopt;
    return static_cast<uint64_t>(std::llround(value * 1e6));
}

utsname unameOrEmpty() {
    utsname names{};
    if (uname(&names) != 0)
        std::memset(&names, 0, sizeof names);
    return names;
}

std::optional<std::string> machine() {
    const std::string name = unameOrEmpty().machine;
    if (name.empty())
        return std::nullopt;
    return name;
}

// The machine's model as the firmware names it (DMI product name, or the device tree's model).
std::optional<std::string> model() {
    if (const auto product = readFile("sys/devices/virtual/dmi/id/product_name"))
        return trim(*product);
    auto tree = readFile("sys/firmware/devicetree/base/model");
    if (!tree)
        return std::nullopt;
    return trim(std::string_view(*tree).substr(0, tree->find('\0')));
}

// The Mach-O processor type code of the kernel's architecture, so that reports from every
// platform use one numbering.
std::optional<uint64_t> cpuType() {
    static const std::map<std::string, uint32_t, std::less<>> codes = {
        {"x86_64", 0x01000007},
        {"i386", 7},
        {"i486", 7},
        {"i586", 7},
        {"i686", 7},
        {"aarch64", 0x0100000c},
        {"arm64", 0x0100000c},
        {"armv6l", 12},
        {"armv7l", 12},
        {"armv8l", 12},
        {"ppc", 18},
        {"ppc64", 0x01000012},
        {"ppc64le", 0x01000012},
    };
    const auto name = machine();
    if (!name)
        return std::nullopt;
    const auto it = codes.find(*name);
    if (it == codes.end())
        return std::nullopt;
    return it->second;
}

std::optional<uint64_t> cpuNumber(std::initializer_list<std::string_view> keys) {
    const auto text = cpuField(keys);
    if (!text)
        return std::nullopt;
    return parseUnsigned(*text);
}

Bytes valueForName(std::string_view name) {
    if (name == "hw.machine")
        return stringValue(machine());
    if (name == "hw.model")
        return stringValue(model());
    if (name == "hw.memsize")
        return int64Value(memorySize());
    if (name == "hw.ncpu" || name == "hw.logicalcpu")
        return int32Value(logicalCPUs());
    if (name == "hw.physicalcpu")
        return int32Value(physicalCPUs());
    if (name == "hw.cpufrequency")
        return int64Value(cpuFrequency());
    if (name == "hw.cpufamily")
        return int32Value(cpuNumber({"cpu family", "CPU architecture"}));
    if (name == "hw.cputype")
        return int32Value(cpuType());
    if (name == "hw.cpusubtype")
        return int32Value(cpuNumber({"model", "CPU part"}));
    // Linux does not tell the bus frequency ("hw.busfrequency"), nor any other name.
    return std::nullopt;
}

int copyOut(const Bytes& value, void* oldp, std::size_t* oldlenp, const void* newp) {
    if (newp != nullptr) {
        errno = EPERM;
        return -1;
    }
    if (!value) {
        errno = ENOENT;
        return -1;
    }
    if (oldlenp == nullptr) {
        if (oldp == nullptr)
            return 0;
        errno = EINVAL;
        return -1;
    }
    if (oldp == nullptr) {
        *oldlenp = value->size();
        return 0;
    }
    const std::size_t count = std::min(*oldlenp, value->size());
    std::memcpy(oldp, value->data(), count);
    *oldlenp = count;
    if (count < value->size()) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

// "KEY=value" lines; double- or single-quoted values lose their quotes, and a backslash in double
// quotes escapes the next character.
std::map<std::string, std::string> parseOsRelease(std::string_view text) {
    std::map<std::string, std::string> fields;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const auto equals = line.find('=');
        if (line.empty() || line.front() == '#' || equals == std::string::npos)
            continue;
        const std::string raw = line.substr(equals + 1);
        std::string value;
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
            raw.back() == raw.front()) {
            const bool escapes = raw.front() == '"';
            for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
                if (escapes && raw[i] == '\\' && i + 2 < raw.size())
                    ++i;
                value += raw[i];
            }
        } else {
            value = raw;
        }
        fields[line.substr(0, equals)] = value;
    }
    return fields;
}

} // namespace

int sysctl(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, const void* newp,
           std::size_t /*newlen*/) {
    if (name == nullptr || namelen != 2 || name[0] != CTL_HW) {
        errno = ENOENT;
        return -1;
    }
    static const std::map<int, std::string_view> hwNames = {
        {HW_MACHINE, "hw.machine"},
        {HW_MODEL, "hw.model"},
        {HW_NCPU, "hw.ncpu"},
        {HW_MEMSIZE, "hw.memsize"},
    };
    const auto it = hwNames.find(name[1]);
    return copyOut(it == hwNames.end() ? std::nullopt : valueForName(it->second), oldp, oldlenp,
                   newp);
}

int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                 std::size_t /*newlen*/) {
    if (name == nullptr) {
        errno = ENOENT;
        return -1;
    }
    return copyOut(valueForName(name), oldp, oldlenp, newp);
}

std::optional<plist::Plist> readSystemVersion() {
    auto text = readFile("etc/os-release");
    if (!text)
        text = readFile("usr/lib/os-release");
    if (!text)
        return std::nullopt;
    const auto fields = parseOsRelease(*text);
    plist::Plist dictionary(plist_new_dict());
    const auto set = [&](const char* key, const std::string& value) {
        plist_dict_set_item(dictionary.get(), key, plist_new_string(value.c_str()));
    };
    if (const auto it = fields.find("VERSION_ID"); it != fields.end())
        set("ProductVersion", it->second);
    if (const auto it = fields.find("BUILD_ID"); it != fields.end()) {
        set("ProductBuildVersion", it->second);
    } else if (const std::string release = unameOrEmpty().release; !release.empty()) {
        set("ProductBuildVersion", release);
    }
    return dictionary;
}

void setRootForTesting(const std::filesystem::path& root) {
    std::lock_guard lock(rootMutex());
    rootSlot() = root;
}

} // namespace lumsift::sysinfo
