// The user defaults over QSettings (an INI file under the user's configuration folder).
#include "platform/defaults/UserDefaults.h"

#include <QSettings>
#include <QString>
#include <QVariant>

#include <charconv>

namespace lumsift {
namespace {

constexpr std::string_view kDatePrefix = "@Date:";

QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::optional<int64_t> parseInteger(const std::string& text) {
    int64_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+')
        ++first;
    const auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || first == last)
        return std::nullopt;
    return value;
}

std::mutex& instanceMutex() {
    static std::mutex m;
    return m;
}
std::unique_ptr<UserDefaults>& instanceSlot() {
    static std::unique_ptr<UserDefaults> slot;
    return slot;
}

} // namespace

struct UserDefaults::Store {
    std::unique_ptr<QSettings> settings;
};

UserDefaults::UserDefaults(std::unique_ptr<Store> store) : store_(std::move(store)) {}
UserDefaults::~UserDefaults() = default;

UserDefaults& UserDefaults::standard() {
    std::lock_guard lock(instanceMutex());
    auto& slot = instanceSlot();
    if (!slot) {
        auto store = std::make_unique<Store>();
        store->settings =
            std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                        QStringLiteral("Lumsift"), QStringLiteral("Lumsift"));
        slot.reset(new UserDefaults(std::move(store)));
    }
    return *slot;
}

void UserDefaults::useFileForTesting(const std::filesystem::path& file) {
    std::lock_guard lock(instanceMutex());
    auto store = std::make_unique<Store>();
    store->settings =
        std::make_unique<QSettings>(QString::fromStdString(file.string()), QSettings::IniFormat);
    std::unique_ptr<UserDefaults> defaults(new UserDefaults(std::move(store)));
    if (const auto& previous = instanceSlot()) {
        std::lock_guard previousLock(previous->mutex_);
        defaults->registered_ = previous->registered_;
    }
    instanceSlot() = std::move(defaults);
}

std::optional<std::string> UserDefaults::rawValue(std::string_view key) const {
    std::lock_guard lock(mutex_);
    const QVariant v = store_->settings->value(qs(key));
    if (v.isValid())
        return v.toString().toStdString();
    const auto it = registered_.find(key);
    if (it == registered_.end())
        return std::nullopt;
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, bool>)
                return value ? "true" : "false";
            else if constexpr (std::is_same_v<T, int64_t>)
                return std::to_string(value);
            else
                return value;
        },
        it->second);
}

bool UserDefaults::boolForKey(std::string_view key) const {
    const auto raw = rawValue(key);
    if (!raw)
        return false;
    if (*raw == "true" || *raw == "YES" || *raw == "yes")
        return true;
    const auto n = parseInteger(*raw);
    return n && *n != 0;
}

int64_t UserDefaults::integerForKey(std::string_view key) const {
    const auto raw = rawValue(key);
    if (!raw)
        return 0;
    if (*raw == "true")
        return 1;
    return parseInteger(*raw).value_or(0);
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    auto raw = rawValue(key);
    if (raw && *raw == "true")
        return "1";
    if (raw && *raw == "false")
        return "0";
    if (raw && raw->starts_with(kDatePrefix))
        return std::nullopt;
    return raw;
}

std::optional<UserDefaults::Date> UserDefaults::dateForKey(std::string_view key) const {
    const auto raw = rawValue(key);
    if (!raw || !raw->starts_with(kDatePrefix))
        return std::nullopt;
    const auto ns = parseInteger(raw->substr(kDatePrefix.size()));
    if (!ns)
        return std::nullopt;
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::nanoseconds(*ns)));
}

bool UserDefaults::hasObjectForKey(std::string_view key) const {
    return rawValue(key).has_value();
}

void UserDefaults::setBool(bool value, std::string_view key) {
    write(key, value ? "true" : "false");
}

void UserDefaults::setInteger(int64_t value, std::string_view key) {
    write(key, std::to_string(value));
}

void UserDefaults::setString(std::string_view value, std::string_view key) {
    write(key, value);
}

void UserDefaults::setDate(Date value, std::string_view key) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(value.time_since_epoch()).count();
    write(key, std::string(kDatePrefix) + std::to_string(ns));
}

void UserDefaults::write(std::string_view key, std::string_view text) {
    std::lock_guard lock(mutex_);
    store_->settings->setValue(qs(key), qs(text));
    store_->settings->sync();
}

void UserDefaults::removeObjectForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    store_->settings->remove(qs(key));
    store_->settings->sync();
}

void UserDefaults::registerDefaults(const std::map<std::string, Value>& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults)
        registered_[key] = value;
}

} // namespace lumsift
