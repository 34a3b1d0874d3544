// Crash-log discovery.
#include "Shared Code/KTWCrashReporter.h"

#include "Shared Code/KTWCrashReporterWindowController.h"
#include "Shared Code/KTWExceptions.h"
#include "platform/bundle/Bundle.h"
#include "platform/crashlog/CrashLogWriter.h"
#include "platform/folders/LibraryFolders.h"

#include <QString>
#include <QUrl>

#include <chrono>
#include <sys/stat.h>

namespace lumsift {
namespace {

constexpr const char* kSubmissionURLKey = "KTWCrashReporterCrashSubmissionURL";

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// An address that does not form a valid URL gives the empty URL, which the window refuses.
QUrl urlFromString(const std::string& text) {
    const QUrl url(qs(text), QUrl::StrictMode);
    return url.isValid() && !url.isEmpty() ? url : QUrl();
}

} // namespace

std::optional<std::string> crashReporterSetting(const char* key) {
    if (auto value = UserDefaults::standard().stringForKey(key))
        return value;
    return Bundle::main().infoString(key);
}

std::optional<UserDefaults::Date> modificationDate(const std::filesystem::path& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0)
        return std::nullopt;
    const auto sinceEpoch = std::chrono::seconds(status.st_mtim.tv_sec) +
                            std::chrono::nanoseconds(status.st_mtim.tv_nsec);
    return UserDefaults::Date(std::chrono::duration_cast<UserDefaults::Date::duration>(sinceEpoch));
}

void KTWCrashReporter::checkForNewCrashes() {
    UserDefaults& defaults = UserDefaults::standard();

    // The address comes first: a launch without one fails whether or not a log exists.
    const auto submissionURL = crashReporterSetting(kSubmissionURLKey);
    if (!submissionURL)
        throw NamedException("Missing KTWCrashReporterCrashSubmissionURL",
                             "You must specify the URL for crash log submission as the "
                             "KTWCrashReporterCrashSubmissionURL in either Info.plist or the user "
                             "defaults!");

    // Without a date, every log already on disk counts as reported.
    auto lastCrashReportDate = defaults.dateForKey(kLastCrashReportDateKey);
    if (!lastCrashReportDate) {
        lastCrashReportDate = std::chrono::system_clock::now();
        defaults.setDate(*lastCrashReportDate, kLastCrashReportDateKey);
    }

    // The first log modified strictly after the date.
    for (const auto& path : crashLogPaths()) {
        const auto modified = modificationDate(path);
        if (!modified)
            continue;
        if (*lastCrashReportDate < *modified) {
            KTWCrashReporterWindowController::showWindowForCrashLogPath(
                qs(path), urlFromString(*submissionURL));
            return;
        }
    }
}

std::vector<std::string> KTWCrashReporter::crashLogDirectories() {
    for (const auto& library : folders::libraryDirectories()) {
        const auto folder = library / crashlog::kCrashLogSubfolder;
        std::error_code ec;
        if (std::filesystem::is_directory(folder, ec))
            return {folder.string()};
    }
    return {};
}

std::vector<std::string> KTWCrashReporter::crashLogPaths() {
    std::vector<std::string> paths;
    const auto prefix = Bundle::main().infoString("CFBundleName");
    if (!prefix)
        return paths;
    for (const auto& directory : crashLogDirectories()) {
        const std::filesystem::path folder = directory;
        std::error_code ec;
        auto it = std::filesystem::recursive_directory_iterator(
            folder, std::filesystem::directory_options::skip_permission_denied, ec);
        for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->path().lexically_relative(folder).string().starts_with(*prefix))
                paths.push_back(it->path().string());
        }
    }
    return paths;
}

} // namespace lumsift
