// Stand-ins for the BSD `sysctl` and `sysctlbyname` calls and the system version file, answering
// the hardware names that a crash report asks for from uname, /proc/cpuinfo, /proc/meminfo and
// /sys, and the version from /etc/os-release. Only std types cross this header.
#pragma once

#include "platform/plist/Plist.h"

#include <cstddef>
#include <filesystem>
#include <optional>

namespace lumsift::sysinfo {

// The two-level names that `sysctl` answers (first level, then second).
inline constexpr int CTL_HW = 6;
inline constexpr int HW_MACHINE = 1;
inline constexpr int HW_MODEL = 2;
inline constexpr int HW_NCPU = 3;
inline constexpr int HW_MEMSIZE = 24;

// Reads the value of the name `name` (borrowed, `namelen` entries). With `oldp` null, stores the
// value's length in bytes in `*oldlenp`. Otherwise copies at most `*oldlenp` bytes into `oldp`
// (borrowed, the caller's buffer of that size) and stores the count copied in `*oldlenp`.
// Strings are given with their terminating zero, numbers in this machine's byte order at their
// own width (4 bytes for counts, processor family, type and subtype; 8 for memory and
// frequencies). Returns 0, or -1 with errno: ENOENT for a name it cannot answer, ENOMEM when the
// buffer is too short (the bytes that fit are copied), EPERM when `newp` is given (no value can be
// set), EINVAL for a null `oldlenp` with a buffer.
int sysctl(const int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, const void* newp,
           std::size_t newlen);

// As `sysctl`, by dotted name ("hw.cpufrequency"); `name` is a zero-terminated text, borrowed.
// Answers "hw.machine", "hw.model", "hw.memsize", "hw.ncpu", "hw.busfrequency",
// "hw.cpufrequency", "hw.cpufamily", "hw.cputype", "hw.cpusubtype", "hw.physicalcpu" and
// "hw.logicalcpu" where this machine tells them.
int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, const void* newp,
                 std::size_t newlen);

// The system version file as a dictionary: "ProductVersion" from VERSION_ID of /etc/os-release
// (else /usr/lib/os-release), "ProductBuildVersion" from BUILD_ID, else the kernel release.
// nullopt when neither file can be read; a key is absent when its value is unknown.
std::optional<plist::Plist> readSystemVersion();

// Makes every file above be read below `root` instead of "/" (tests); copies the path. uname is
// still asked for the machine and the kernel release.
void setRootForTesting(const std::filesystem::path& root);

} // namespace lumsift::sysinfo
