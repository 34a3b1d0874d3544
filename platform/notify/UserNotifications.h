// User notifications through the freedesktop Notifications service.
#pragma once

#include <memory>
#include <string>

namespace lumsift {

class UserNotifications {
public:
    virtual ~UserNotifications() = default;
    // Shows a notification; where no notification service answers nothing is shown and nothing
    // fails. Never throws.
    virtual void deliver(const std::string& title, const std::string& informativeText,
                         bool defaultSound) = 0;
};

// The system's implementation over the session bus. Never null.
std::shared_ptr<UserNotifications> makeSystemUserNotifications();

} // namespace lumsift
