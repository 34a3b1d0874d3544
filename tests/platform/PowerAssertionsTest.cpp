// The idle-sleep assertion as a logind inhibitor: the call it makes, the descriptor it keeps
// until released, and the quiet failure where logind does not answer.
#include "platform/power/PowerAssertions.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "tests/platform/PrivateBus.h"

namespace lumsift {
namespace {

const char* const kLogindXml =
    "<node><interface name='org.freedesktop.login1.Manager'>"
    "<method name='Inhibit'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='h' direction='out'/></method></interface></node>";

TEST(PowerAssertions, InhibitsIdleUntilReleased) {
    testing::PrivateBus bus;
    std::string call;
    int readEnd = -1;
    bus.serve("org.freedesktop.login1", "/org/freedesktop/login1", kLogindXml,
              [&](const std::string& method, GVariant* parameters, GDBusMethodInvocation* inv) {
                  const gchar *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
                  g_variant_get(parameters, "(&s&s&s&s)", &what, &who, &why, &mode);
                  call = method + " " + what + "|" + who + "|" + why + "|" + mode;
                  int ends[2];
                  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
                  readEnd = ends[0];
                  GUnixFDList* fds = g_unix_fd_list_new_from_array(&ends[1], 1); // takes it
                  g_dbus_method_invocation_return_value_with_unix_fd_list(
                      inv, g_variant_new("(h)", 0), fds);
                  g_object_unref(fds);
              });
    const auto power = makeSystemPowerAssertions();
    const std::optional<uint32_t> id =
        power->createNoIdleSleepAssertion("Lumsift analysis in progress");
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(call, "Inhibit idle|Lumsift|Lumsift analysis in progress|block");
    ASSERT_GE(readEnd, 0);
    pollfd held{readEnd, POLLIN, 0};
    EXPECT_EQ(poll(&held, 1, 0), 0); // still held
    power->release(*id);
    ASSERT_EQ(poll(&held, 1, 5000), 1); // every write end closed: the read end sees the end
    char byte = 0;
    EXPECT_EQ(read(readEnd, &byte, 1), 0);
    power->release(*id); // a second release is harmless
    close(readEnd);
}

TEST(PowerAssertions, NoLogindMeansNoAssertion) {
    testing::PrivateBus bus; // a bus on which nobody owns login1
    EXPECT_EQ(makeSystemPowerAssertions()->createNoIdleSleepAssertion("x"), std::nullopt);
    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus", TRUE);
    EXPECT_EQ(makeSystemPowerAssertions()->createNoIdleSleepAssertion("x"), std::nullopt);
}

} // namespace
} // namespace lumsift
