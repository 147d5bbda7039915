#pragma once

#include <memory>
#include <string>

namespace quillon::platform {

// One desktop notification (the freedesktop.org Desktop Notifications specification).
struct DesktopNotification {
    enum class Urgency { low, normal, critical };
    // A later notification with the same tag replaces this one on screen instead of piling up
    // (a device connecting twice shows one bubble).
    std::string tag;
    std::string summary;
    std::string body; // plain text: the notifier escapes the markup some servers read
    std::string icon; // an icon name of the theme
    Urgency urgency = Urgency::normal;
    bool operator==(const DesktopNotification&) const = default;
};

class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    // Hands the notification over and returns at once; a session without a notification
    // server shows nothing, and nothing is reported.
    virtual void notify(const DesktopNotification& notification) = 0;
};

// org.freedesktop.Notifications on the session bus (DBUS_SESSION_BUS_ADDRESS, else the user
// bus), called from a thread of its own so that a slow or hung server never holds up the
// host; each call waits at most two seconds for its answer. `appName` is the sender's name
// the server shows.
std::shared_ptr<DesktopNotifier> makeFreedesktopNotifier(std::string appName);

// Keeps the text of `body` when a server renders its subset of HTML: & < > escaped.
std::string escapeNotificationMarkup(const std::string& body);

} // namespace quillon::platform
