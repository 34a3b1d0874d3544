// The information property list beside the built program: the keys the crash reporter and the
// bundle readers rely on.
#include "platform/bundle/Bundle.h"

#include <gtest/gtest.h>

namespace lumsift {
namespace {

TEST(InfoPlist, BesideTheProgramWithTheBundleKeys) {
    const Bundle bundle = Bundle::forExecutable(LUMSIFT_BINARY_DIR "/app/Lumsift");
    for (const char* key : {"CFBundleName", "CFBundleExecutable", "ValidatedTitle"})
        EXPECT_EQ(bundle.infoString(key), "Lumsift") << key;
    EXPECT_EQ(bundle.infoString("CFBundleIdentifier"), "org.lumsift.Lumsift");
    EXPECT_FALSE(bundle.infoString("CFBundleVersion").value_or("").empty());
    EXPECT_FALSE(bundle.infoString("CFBundleShortVersionString").value_or("").empty());
    const std::string submission =
        bundle.infoString("KTWCrashReporterCrashSubmissionURL").value_or("");
    EXPECT_EQ(submission.rfind("https://", 0), 0u) << submission;
}

} // namespace
} // namespace lumsift
