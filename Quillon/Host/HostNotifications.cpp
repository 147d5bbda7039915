#include "Quillon/Host/HostNotifications.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Console/ConsoleText.hpp"
#include "Quillon/Host/HostCoordinator.hpp"

#include <algorithm>

namespace quillon {

namespace {

using i18n::fill;
using i18n::tr;
using platform::DesktopNotification;

std::string nameOf(const HostState& state, const std::string& id) {
    for (const auto& d : state.devices) {
        if (d.deviceID == id) {
            return platform::safeText(d.deviceName, 64);
        }
    }
    return platform::safeText(id, 64);
}

bool contains(const std::vector<std::string>& ids, const std::string& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

} // namespace

std::vector<DesktopNotification> notificationsBetween(const HostState& before, bool permittedBefore,
                                                      const HostState& after, bool permittedAfter) {
    std::vector<DesktopNotification> out;
    // Paired: a device listed now that was not, while the store could be read both times (a
    // store that comes back lists old devices, which are no news).
    if (!before.storeProblem && !after.storeProblem) {
        for (const auto& d : after.devices) {
            const bool known =
                std::any_of(before.devices.begin(), before.devices.end(),
                            [&](const PairedDevice& b) { return b.deviceID == d.deviceID; });
            if (!known) {
                out.push_back({"paired-" + d.deviceID,
                               fill(tr("Paired with {1}"), {platform::safeText(d.deviceName, 64)}),
                               tr("It connects by itself from now on."), "quillon-connected",
                               DesktopNotification::Urgency::normal});
            }
        }
    }
    for (const auto& id : after.connectedIDs) {
        if (!contains(before.connectedIDs, id)) {
            out.push_back({"device-" + id, fill(tr("{1} connected"), {nameOf(after, id)}),
                           after.activeChannel == HostChannel::usb ? tr("Over the USB cable.")
                                                                   : tr("Over Wi-Fi."),
                           "quillon-connected", DesktopNotification::Urgency::low});
        }
    }
    if (!after.isScreenLocked) {
        for (const auto& id : before.connectedIDs) {
            if (!contains(after.connectedIDs, id)) {
                out.push_back({"device-" + id,
                               fill(tr("{1} disconnected"), {nameOf(before, id)}),
                               {},
                               "quillon",
                               DesktopNotification::Urgency::low});
            }
        }
    }
    if (after.notice && after.notice != before.notice) {
        const bool wrongPIN = after.notice->kind == HostNotice::Kind::wrongPIN;
        out.push_back({"refused", wrongPIN ? tr("Wrong pairing code") : tr("A device was refused"),
                       console::noticeLine(*after.notice), "quillon-attention",
                       DesktopNotification::Urgency::normal});
    }
    if (permittedBefore && !permittedAfter) {
        out.push_back({"permission", tr("Input from the tablet stopped working"),
                       tr("Quillon can no longer post input in this session. Its window says "
                          "why and what to do."),
                       "quillon-attention", DesktopNotification::Urgency::critical});
    }
    if (before.discoverable && !after.discoverable) {
        out.push_back({"discovery", tr("Tablets cannot find this computer"),
                       tr("avahi-daemon is not running, so the tablet's app does not list this "
                          "computer. Paired tablets already connected stay connected."),
                       "quillon-attention", DesktopNotification::Urgency::normal});
    }
    return out;
}

HostNotifications::HostNotifications(std::shared_ptr<HostCoordinator> coordinator,
                                     std::shared_ptr<platform::MainQueue> mainQueue,
                                     std::shared_ptr<platform::DesktopNotifier> notifier,
                                     platform::Defaults& defaults, Options options)
    : coordinator_(std::move(coordinator)), mainQueue_(std::move(mainQueue)),
      notifier_(std::move(notifier)), defaults_(defaults), options_(std::move(options)) {}

HostNotifications::~HostNotifications() {
    if (observerToken_ != 0) {
        coordinator_->removeObserver(observerToken_);
    }
}

void HostNotifications::attach() {
    last_ = snapshot(*coordinator_);
    lastPermitted_ = options_.permitted ? options_.permitted() : true;
    std::weak_ptr<HostNotifications> weak = weak_from_this();
    observerToken_ = coordinator_->addObserver([weak](HostCoordinator::Field) {
        if (auto self = weak.lock()) {
            self->look();
        }
    });
    if (options_.permitted) {
        mainQueue_->postAfter(options_.permissionPoll, [weak] {
            if (auto self = weak.lock()) {
                self->poll();
            }
        });
    }
}

void HostNotifications::look() {
    auto now = snapshot(*coordinator_);
    const bool permitted = lastPermitted_; // polled apart: a change of it is told by poll()
    const auto notes = notificationsBetween(last_, lastPermitted_, now, permitted);
    last_ = std::move(now);
    if (defaults_.boolean("notifications.enabled").value_or(true)) {
        for (const auto& n : notes) {
            notifier_->notify(n);
        }
    }
}

void HostNotifications::poll() {
    const bool permitted = options_.permitted();
    if (permitted != lastPermitted_) {
        const auto notes = notificationsBetween(last_, lastPermitted_, last_, permitted);
        lastPermitted_ = permitted;
        if (defaults_.boolean("notifications.enabled").value_or(true)) {
            for (const auto& n : notes) {
                notifier_->notify(n);
            }
        }
    }
    std::weak_ptr<HostNotifications> weak = weak_from_this();
    mainQueue_->postAfter(options_.permissionPoll, [weak] {
        if (auto self = weak.lock()) {
            self->poll();
        }
    });
}

} // namespace quillon
