// The user defaults: the application's settings, kept between runs (QSettings underneath).
// Keys are the application's own (`SKIPSTARTSCREEN`, `KTWCrashReporterLastCrashReportDate`, ...).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace lumsift {

class UserDefaults {
public:
    using Date = std::chrono::system_clock::time_point;
    using Value = std::variant<bool, int64_t, std::string>;

    // The process-wide defaults. The first call opens the store; safe from any thread.
    static UserDefaults& standard();
    // Points the process-wide defaults at a settings file of its own (tests). The registered
    // defaults stay: like the platform's registration domain they belong to the process, not to
    // a file. The file is created when written.
    static void useFileForTesting(const std::filesystem::path& file);

    // Absent keys read as false, 0, nullopt; a registered default is used when the key is absent.
    bool boolForKey(std::string_view key) const;
    int64_t integerForKey(std::string_view key) const;
    // A stored number gives its decimal text, a stored true/false "1"/"0".
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<Date> dateForKey(std::string_view key) const;
    bool hasObjectForKey(std::string_view key) const;

    // Each write is stored at once (synchronised to disk).
    void setBool(bool value, std::string_view key);
    void setInteger(int64_t value, std::string_view key);
    void setString(std::string_view value, std::string_view key);
    void setDate(Date value, std::string_view key);
    void removeObjectForKey(std::string_view key);

    // Values used for keys that hold nothing; copies them. Not stored on disk.
    void registerDefaults(const std::map<std::string, Value>& defaults);

    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

private:
    struct Store;
    explicit UserDefaults(std::unique_ptr<Store> store);
    std::optional<std::string> rawValue(std::string_view key) const;
    // Stores `text` under `key` (every value is kept as its text) and synchronises to disk.
    void write(std::string_view key, std::string_view text);

    mutable std::mutex mutex_;
    std::unique_ptr<Store> store_;
    std::map<std::string, Value, std::less<>> registered_;
};

} // namespace lumsift
