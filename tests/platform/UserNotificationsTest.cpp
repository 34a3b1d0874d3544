// Notifications through the freedesktop Notifications service: what reaches the service, and
// nothing failing where no service runs.
#include "platform/notify/UserNotifications.h"

#include "tests/platform/PrivateBus.h"

namespace lumsift {
namespace {

const char* const kNotificationsXml =
    "<node><interface name='org.freedesktop.Notifications'>"
    "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='as' direction='in'/><arg type='a{sv}' direction='in'/>"
    "<arg type='i' direction='in'/><arg type='u' direction='out'/></method>"
    "</interface></node>";

TEST(UserNotifications, DeliversTitleTextAndSound) {
    testing::PrivateBus bus;
    std::string seen;
    bus.serve("org.freedesktop.Notifications", "/org/freedesktop/Notifications", kNotificationsXml,
              [&](const std::string&, GVariant* parameters, GDBusMethodInvocation* inv) {
                  const gchar *app = nullptr, *icon = nullptr, *title = nullptr, *body = nullptr;
                  guint32 replaces = 0;
                  gint32 timeout = 0;
                  GVariantIter* actions = nullptr;
                  GVariant* hints = nullptr;
                  g_variant_get(parameters, "(&su&s&s&sas@a{sv}i)", &app, &replaces, &icon, &title,
                                &body, &actions, &hints, &timeout);
                  const gchar* sound = nullptr;
                  g_variant_lookup(hints, "sound-name", "&s", &sound);
                  seen = std::string(app) + "|" + title + "|" + body + "|" +
                         (sound != nullptr ? sound : "none");
                  g_variant_iter_free(actions);
                  g_variant_unref(hints);
                  g_dbus_method_invocation_return_value(inv, g_variant_new("(u)", 1u));
              });
    makeSystemUserNotifications()->deliver("Lumsift Library Analysis Complete!",
                                           "Lumsift has successfully completed analysis of your "
                                           "library.",
                                           true);
    EXPECT_EQ(seen, "Lumsift|Lumsift Library Analysis Complete!|Lumsift has successfully "
                    "completed analysis of your library.|message-new-instant");
}

TEST(UserNotifications, NoServiceShowsNothingAndFailsNothing) {
    testing::PrivateBus bus; // nobody owns the Notifications name
    EXPECT_NO_THROW(makeSystemUserNotifications()->deliver("t", "b", true));
    g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", TRUE);
    EXPECT_NO_THROW(makeSystemUserNotifications()->deliver("t", "b", false));
}

} // namespace
} // namespace lumsift
