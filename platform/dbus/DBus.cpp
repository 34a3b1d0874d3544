// The D-Bus call layer over GIO.
#include "platform/dbus/DBus.h"

#include <unistd.h>

#include <gio/gunixfdlist.h>

namespace lumsift::dbus {
namespace {

std::string messageOf(GError* error) {
    return error != nullptr && error->message != nullptr ? error->message : "unknown D-Bus error";
}

} // namespace

Reply callSync(const Call& call, GVariant* parameters, std::chrono::milliseconds timeout) {
    Reply reply;
    // Owns the floating parameters until the call sinks them, so they are freed on every path.
    const GVariantPtr args(parameters != nullptr ? g_variant_ref_sink(parameters) : nullptr);
    GError* rawError = nullptr;
    const GObjectPtr<GDBusConnection> connection(g_bus_get_sync(call.bus, nullptr, &rawError));
    GErrorPtr error(rawError);
    if (!connection) {
        reply.error = messageOf(error.get());
        return reply;
    }
    const std::string service(call.service);
    const std::string objectPath(call.objectPath);
    const std::string interface(call.interface);
    const std::string method(call.method);
    const std::string replyType(call.replyType);
    GUnixFDList* rawFds = nullptr;
    rawError = nullptr;
    GVariant* body = g_dbus_connection_call_with_unix_fd_list_sync(
        connection.get(), service.c_str(), objectPath.c_str(), interface.c_str(), method.c_str(),
        args.get(), G_VARIANT_TYPE(replyType.c_str()), G_DBUS_CALL_FLAGS_NONE,
        static_cast<gint>(timeout.count()), nullptr, &rawFds, nullptr, &rawError);
    reply.body.reset(body);
    reply.fds.reset(rawFds);
    error.reset(rawError);
    if (!reply.body) {
        reply.error = messageOf(error.get());
    }
    return reply;
}

} // namespace lumsift::dbus
