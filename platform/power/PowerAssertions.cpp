// The idle-sleep assertion as a systemd-logind "idle" inhibitor on the system bus: the inhibitor
// lasts while we hold the descriptor logind hands back.
#include "platform/power/PowerAssertions.h"

#include <map>
#include <mutex>

#include <gio/gunixfdlist.h>

#include "platform/dbus/DBus.h"
#include "platform/log/Log.h"

namespace lumsift {
namespace {

constexpr std::chrono::milliseconds kTimeout{2000};

class LogindPowerAssertions final : public PowerAssertions {
public:
    std::optional<uint32_t> createNoIdleSleepAssertion(std::string_view name) override {
        const std::string why(name);
        dbus::Reply reply = dbus::callSync(
            {G_BUS_TYPE_SYSTEM, "org.freedesktop.login1", "/org/freedesktop/login1",
             "org.freedesktop.login1.Manager", "Inhibit", "(h)"},
            g_variant_new("(ssss)", "idle", "Lumsift", why.c_str(), "block"), kTimeout);
        if (!reply.ok()) {
            log::line("Idle-sleep assertion not taken: " + reply.error);
            return std::nullopt;
        }
        gint32 index = -1;
        g_variant_get(reply.body.get(), "(h)", &index);
        GError* rawError = nullptr;
        dbus::UniqueFd fd(reply.fds ? g_unix_fd_list_get(reply.fds.get(), index, &rawError) : -1);
        const dbus::GErrorPtr error(rawError);
        if (fd.get() < 0) {
            log::line("Idle-sleep assertion not taken: no descriptor in logind's answer");
            return std::nullopt;
        }
        const std::lock_guard lock(mutex_);
        const uint32_t id = nextId_++;
        held_.emplace(id, std::move(fd));
        return id;
    }

    void release(uint32_t id) override {
        const std::lock_guard lock(mutex_);
        held_.erase(id); // closing the descriptor ends the inhibitor
    }

private:
    std::mutex mutex_;
    uint32_t nextId_ = 1;
    std::map<uint32_t, dbus::UniqueFd> held_;
};

} // namespace

std::shared_ptr<PowerAssertions> makeSystemPowerAssertions() {
    return std::make_shared<LogindPowerAssertions>();
}

} // namespace lumsift
