#pragma once

#include "Platform/Notifications/DesktopNotifier.hpp"
#include "Quillon/Host/HostState.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace quillon::platform {
class Defaults;
class MainQueue;
} // namespace quillon::platform

namespace quillon {

class HostCoordinator;

// What a desktop notification tells between two looks at the host: a device paired, a device
// connected or disconnected (not when the screen lock dropped them all: that is the lock's
// doing, and the user knows), a refused device or wrong PIN, the input permission lost, the
// host no longer discoverable. `permitted*` is the input permission at each look. In the run's
// language. A pure function, so the rules are tested as a table.
std::vector<platform::DesktopNotification> notificationsBetween(const HostState& before,
                                                                bool permittedBefore,
                                                                const HostState& after,
                                                                bool permittedAfter);

// Follows the coordinator (and polls the input permission) on the main queue and hands each
// notification to the notifier, unless the setting "notifications.enabled" is false.
class HostNotifications : public std::enable_shared_from_this<HostNotifications> {
public:
    struct Options {
        std::function<bool()> permitted; // asked at each poll
        std::chrono::milliseconds permissionPoll{2000};
    };
    HostNotifications(std::shared_ptr<HostCoordinator> coordinator,
                      std::shared_ptr<platform::MainQueue> mainQueue,
                      std::shared_ptr<platform::DesktopNotifier> notifier,
                      platform::Defaults& defaults, Options options);
    ~HostNotifications();

    // Takes the current state as the baseline and starts following (main).
    void attach();

private:
    void look();
    void poll();

    std::shared_ptr<HostCoordinator> coordinator_;
    std::shared_ptr<platform::MainQueue> mainQueue_;
    std::shared_ptr<platform::DesktopNotifier> notifier_;
    platform::Defaults& defaults_;
    Options options_;
    std::size_t observerToken_ = 0;
    HostState last_;
    bool lastPermitted_ = true;
};

} // namespace quillon
