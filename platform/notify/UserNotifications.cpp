// User notifications through the freedesktop Notifications service on the session bus.
#include "platform/notify/UserNotifications.h"

#include "platform/dbus/DBus.h"
#include "platform/log/Log.h"

namespace lumsift {
namespace {

constexpr std::chrono::milliseconds kTimeout{2000};

class FreedesktopNotifications final : public UserNotifications {
public:
    void deliver(const std::string& title, const std::string& informativeText,
                 bool defaultSound) override {
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        if (defaultSound) {
            // The sound theme's name for an ordinary message.
            g_variant_builder_add(&hints, "{sv}", "sound-name",
                                  g_variant_new_string("message-new-instant"));
        }
        const dbus::Reply reply = dbus::callSync(
            {G_BUS_TYPE_SESSION, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
             "org.freedesktop.Notifications", "Notify", "(u)"},
            g_variant_new("(susssasa{sv}i)", "Lumsift", 0u, "", title.c_str(),
                          informativeText.c_str(), nullptr, &hints, -1),
            kTimeout);
        if (!reply.ok()) {
            log::line("Notification not shown: " + reply.error);
        }
    }
};

} // namespace

std::shared_ptr<UserNotifications> makeSystemUserNotifications() {
    return std::make_shared<FreedesktopNotifications>();
}

} // namespace lumsift
