// A thin layer over GIO's D-Bus client for the platform services that the engine uses (idle
// inhibitor, notifications): RAII for the GLib handles, and one synchronous call with a timeout
// whose failure is a result carrying GLib's message.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <gio/gio.h>

#include "platform/fd/UniqueFd.h"

namespace lumsift::dbus {

// Owns one reference to a GObject (a bus connection, a descriptor list) and drops it when
// destroyed.
struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Owns one GVariant reference.
struct GVariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

// Owns one GError.
struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

// Descriptors that come with a reply are owned as everywhere else in the program.
using lumsift::UniqueFd;

// One method call to name `service`, its reply, and the descriptors that came with it.
struct Reply {
    GVariantPtr body;            // null when the call failed
    GObjectPtr<GUnixFDList> fds; // null when none came
    std::string error;           // GLib's message when the call failed
    bool ok() const { return body != nullptr; }
};

struct Call {
    GBusType bus;
    std::string_view service;
    std::string_view objectPath;
    std::string_view interface;
    std::string_view method;
    std::string_view replyType; // e.g. "(h)"
};

// Makes the call and waits at most `timeout` for the answer. `parameters` is a floating
// GVariant that the call consumes (takes ownership). Never throws: no bus, no service or a late
// answer give a Reply that is not ok().
Reply callSync(const Call& call, GVariant* parameters, std::chrono::milliseconds timeout);

} // namespace lumsift::dbus
