// The machine facts on this machine, and on one made of files the test writes (for values no real
// kernel here reports).
#include "Shared Code/KTWSystemInformation.h"

#include "CrashReporterTestSupport.h"
#include "platform/sysinfo/Sysctl.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace lumsift {
namespace {

TEST(KTWSystemInformation, KnownFactsOfThisMachine) {
    const KTWSystemInformation& info = KTWSystemInformation::instance();
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    EXPECT_EQ(info.machine(), std::string(names.machine));
    ASSERT_TRUE(info.physicalMemory());
    EXPECT_EQ(*info.physicalMemory() / 4096,
              static_cast<int64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / 4096);
    EXPECT_EQ(info.numberOfCPUs(), static_cast<int32_t>(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_EQ(info.logicalCPUs(), info.numberOfCPUs());
    ASSERT_TRUE(info.physicalCPUs());
    EXPECT_GE(*info.physicalCPUs(), 1);
    EXPECT_LE(*info.physicalCPUs(), *info.logicalCPUs());
    EXPECT_FALSE(info.busFrequency()); // Linux does not tell it
    if (std::string(names.machine) == "x86_64") {
        EXPECT_EQ(info.CPUType(), 0x01000007);
        EXPECT_TRUE(info.CPUFamily());
        EXPECT_TRUE(info.CPUSubtype());
    }
    EXPECT_TRUE(info.systemBuildVersion()); // BUILD_ID, else the kernel release
}

class KTWSystemInformationOnFakeMachine : public ::testing::Test {
protected:
    void SetUp() override { sysinfo::setRootForTesting(root.path()); }
    void TearDown() override { sysinfo::setRootForTesting("/"); }
    void write(const std::string& path, std::string_view text) {
        test::writeBytes(root / path, text);
    }
    testimages::TempDir root;
};

// No frequency without cpuinfo; then cpuinfo's, then the frequency driver's.
TEST_F(KTWSystemInformationOnFakeMachine, ThirtyTwoBitValuesAreWidenedWithTheirSignAndFrequency) {
    EXPECT_FALSE(KTWSystemInformation().CPUFrequency());
    write("proc/cpuinfo", "processor\t: 0\ncpu family\t: 0x80000001\nmodel\t\t: 4294967295\n"
                          "cpu MHz : 2596.120\n\n"
                          "processor\t: 1\ncpu family\t: 0x80000001\nmodel\t\t: 4294967295\n");
    const KTWSystemInformation info;
    EXPECT_EQ(info.CPUFamily(), -2147483647);
    EXPECT_EQ(info.CPUSubtype(), -1);
    EXPECT_EQ(info.numberOfCPUs(), 2);
    EXPECT_EQ(int32ForSysctlName("hw.logicalcpu"), 2);
    EXPECT_EQ(info.CPUFrequency(), 2596120000);
    write("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "3400000\n");
    EXPECT_EQ(KTWSystemInformation().CPUFrequency(), 3400000000);
}

// The model loses its terminating zero. Failures as sysctl gives them: text that is not ASCII,
// unknown names (ENOENT), a short buffer (ENOMEM after the bytes that fit).
TEST_F(KTWSystemInformationOnFakeMachine, ModelTextAndFailures) {
    const std::string product = "sys/devices/virtual/dmi/id/product_name";
    write(product, "ThinkPad X1\n");
    EXPECT_EQ(KTWSystemInformation().model(), "ThinkPad X1");
    write(product, "");
    EXPECT_EQ(KTWSystemInformation().model(), ""); // the zero alone
    write(product, "Caf\xc3\xa9");
    std::error_code error;
    const int32_t mib[2] = {sysinfo::CTL_HW, sysinfo::HW_MODEL};
    EXPECT_FALSE(stringForMIB(mib, 2, &error));
    EXPECT_EQ(error, std::errc::illegal_byte_sequence);
    EXPECT_FALSE(int64ForSysctlName("hw.busfrequency", &error));
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
    write("proc/meminfo", "MemTotal: 1 kB\n");
    char byte = 0;
    std::size_t length = 1;
    errno = 0;
    EXPECT_EQ(sysinfo::sysctlbyname("hw.memsize", &byte, &length, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(length, 1u);
}

// Without a version file the kernel facts remain; with one, version and build, else the release.
TEST_F(KTWSystemInformationOnFakeMachine, MemoryAndVersionFile) {
    write("proc/meminfo", "MemTotal:        8000 kB\nMemFree:  10 kB\n");
    EXPECT_FALSE(KTWSystemInformation().systemVersion());
    EXPECT_FALSE(KTWSystemInformation().systemBuildVersion());
    EXPECT_EQ(KTWSystemInformation().physicalMemory(), 8000 * 1024);
    write("etc/os-release", "NAME=\"Debian\"\nVERSION_ID=\"12\"\nBUILD_ID='2024.1'\n");
    EXPECT_EQ(KTWSystemInformation().systemVersion(), "12");
    EXPECT_EQ(KTWSystemInformation().systemBuildVersion(), "2024.1");
    write("etc/os-release", "VERSION_ID=13\n");
    utsname names{};
    uname(&names);
    EXPECT_EQ(KTWSystemInformation().systemBuildVersion(), std::string(names.release));
}

TEST(KTWSystemInformation, NullNamesBreakTheContract) {
    EXPECT_EQ(test::brokenCondition([] { stringForMIB(nullptr, 2); }), "NULL != mib");
    EXPECT_EQ(test::brokenCondition([] { int64ForSysctlName(nullptr); }), "NULL != name");
    EXPECT_EQ(test::brokenCondition([] { int32ForSysctlName(nullptr); }), "NULL != name");
}

} // namespace
} // namespace lumsift
