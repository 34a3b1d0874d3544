// A private D-Bus daemon for tests, standing in for both the session and the system bus, with a
// small in-process service on it: one object whose method calls a test answers.
#pragma once

#include <functional>
#include <future>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace lumsift::testing {

class PrivateBus {
public:
    // Answers one call: the method's name and parameters, and the invocation to return on.
    using Handler = std::function<void(const std::string& method, GVariant* parameters,
                                       GDBusMethodInvocation* invocation)>;

    // Starts the daemon and points both bus addresses of this process at it.
    PrivateBus() : bus_(g_test_dbus_new(G_TEST_DBUS_NONE)) {
        g_test_dbus_up(bus_);
        g_setenv("DBUS_SYSTEM_BUS_ADDRESS", g_test_dbus_get_bus_address(bus_), TRUE);
    }
    ~PrivateBus() {
        if (loop_ != nullptr) {
            g_main_loop_quit(loop_);
            thread_.join();
            g_main_loop_unref(loop_);
        }
        g_test_dbus_down(bus_);
        g_object_unref(bus_);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Serves `interfaceXml` (one interface) at `objectPath` under the well-known `name`, calls
    // going to `handler` on a thread of the bus's own. Returns once the name is owned.
    void serve(const std::string& name, const std::string& objectPath,
               const std::string& interfaceXml, Handler handler) {
        handler_ = std::move(handler);
        GMainContext* context = g_main_context_new();
        loop_ = g_main_loop_new(context, FALSE);
        std::promise<void> owned;
        thread_ = std::thread([this, context, name, objectPath, interfaceXml, &owned] {
            g_main_context_push_thread_default(context);
            GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
                g_test_dbus_get_bus_address(bus_),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, nullptr);
            GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(interfaceXml.c_str(), nullptr);
            static const GDBusInterfaceVTable vtable = {
                [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                   GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
                    static_cast<PrivateBus*>(self)->handler_(method, parameters, invocation);
                },
                nullptr,
                nullptr,
                {}};
            g_dbus_connection_register_object(connection, objectPath.c_str(), node->interfaces[0],
                                              &vtable, this, nullptr, nullptr);
            GVariant* reply = g_dbus_connection_call_sync(
                connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName", g_variant_new("(su)", name.c_str(), 0u), nullptr,
                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
            if (reply != nullptr)
                g_variant_unref(reply);
            owned.set_value();
            g_main_loop_run(loop_);
            g_dbus_node_info_unref(node);
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
            g_main_context_pop_thread_default(context);
            g_main_context_unref(context);
        });
        owned.get_future().wait();
    }

private:
    GTestDBus* bus_;
    GMainLoop* loop_ = nullptr;
    std::thread thread_;
    Handler handler_;
};

} // namespace lumsift::testing
