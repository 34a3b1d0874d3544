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
// Where each answer comes from, and when there is none (ENOENT):
//   hw.machine      uname's machine ("x86_64", "aarch64")
//   hw.model        /sys/devices/virtual/dmi/id/product_name, else the device tree's model;
//                   none on machines with neither (many virtual machines)
//   hw.memsize      MemTotal of /proc/meminfo, in bytes (8 bytes)
//   hw.ncpu, hw.logicalcpu   the processors listed in /proc/cpuinfo (4 bytes)
//   hw.physicalcpu  distinct (package, core) pairs of /sys/devices/system/cpu/cpu*/topology,
//                   else of /proc/cpuinfo (4 bytes)
//   hw.cpufrequency cpu0's cpufreq cpuinfo_max_freq, else "cpu MHz" of /proc/cpuinfo, in hertz
//                   (8 bytes); none where neither exists (most ARM machines without cpufreq)
//   hw.cpufamily    "cpu family" (x86) or "CPU architecture" (ARM) of /proc/cpuinfo (4 bytes)
//   hw.cpusubtype   "model" (x86) or "CPU part" (ARM) of /proc/cpuinfo (4 bytes)
//   hw.cputype      the Mach-O processor type of uname's machine, so reports from every
//                   platform share one numbering (x86_64 0x01000007, arm64 0x0100000c, ...)
//   hw.busfrequency never: Linux does not tell the bus frequency
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
