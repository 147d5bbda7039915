#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillon::testing {

// A desktop's notification server on a test's session bus (org.freedesktop.Notifications, as
// the freedesktop.org specification has it), served from a thread of its own: it records every
// Notify call and answers with a new id, as a real server does.
class NotificationsStandIn {
public:
    struct Notification {
        std::string appName;
        std::uint32_t replacesID = 0;
        std::string icon;
        std::string summary;
        std::string body;
        std::uint8_t urgency = 1;
        std::uint32_t id = 0; // what the stand-in answered
    };

    explicit NotificationsStandIn(const std::string& busAddress);
    ~NotificationsStandIn();
    NotificationsStandIn(const NotificationsStandIn&) = delete;
    NotificationsStandIn& operator=(const NotificationsStandIn&) = delete;

    std::vector<Notification> received() const;
    // Waits until a notification with this summary arrived; the first one, or nothing.
    std::unique_ptr<Notification> waitFor(const std::string& summary,
                                          std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quillon::testing
