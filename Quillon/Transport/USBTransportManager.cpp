#include "Quillon/Transport/USBTransportManager.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Transport/USBSession.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <algorithm>
#include <limits>

namespace quillon {

namespace {

std::uint32_t truncatedDimension(double value) {
    if (!(value > 0)) { // negative, zero and NaN
        return 0;
    }
    if (value >= 4294967295.0) {
        return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(value);
}

wire::cm::HelloAck helloAckFor(const platform::DisplayGeometry* display) {
    if (display == nullptr) {
        return {0, 0, 2.0F};
    }
    const auto bounds = display->mainBounds();
    return {truncatedDimension(bounds.width), truncatedDimension(bounds.height),
            static_cast<float>(display->pixelsPerPoint())};
}

} // namespace

std::shared_ptr<USBTransportManager>
USBTransportManager::create(std::shared_ptr<PairingStore> store, USBTransportOptions options) {
    return std::shared_ptr<USBTransportManager>(
        new USBTransportManager(std::move(store), std::move(options)));
}

USBTransportManager::USBTransportManager(std::shared_ptr<PairingStore> store,
                                         USBTransportOptions options)
    : store_(std::move(store)), options_(std::move(options)), mux_(options_.mux),
      queue_(std::make_unique<platform::SerialQueue>("quillon-usb")) {
    if (!options_.log) {
        options_.log = [](std::string_view line) { platform::DiagLog::write(line); };
    }
}

USBTransportManager::~USBTransportManager() {
    // Handlers hold the manager weakly and none can be running here (one that got hold of the
    // manager would keep it alive), so the state is ours; the session's own close arrives at a
    // manager that is gone and does nothing.
    if (auto* c = std::get_if<Connected>(&state_)) {
        c->timer->cancel();
        c->session->stop();
    } else if (auto* p = std::get_if<Polling>(&state_)) {
        p->timer->cancel();
    }
    queue_.reset();
}

void USBTransportManager::start() {
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !std::holds_alternative<Stopped>(self->state_)) {
            return;
        }
        auto timer = self->queue_->scheduleRepeating(std::chrono::nanoseconds(0),
                                                     self->options_.pollInterval, [weak] {
                                                         if (auto s = weak.lock()) {
                                                             s->poll();
                                                         }
                                                     });
        self->state_ = Polling{std::move(timer)};
    });
}

void USBTransportManager::stop() {
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || std::holds_alternative<Stopped>(self->state_)) {
            return;
        }
        std::visit(
            [](auto& s) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(s)>, Stopped>) {
                    s.timer->cancel();
                }
            },
            self->state_);
        self->dropSession();
        self->state_ = Stopped{};
    });
}

void USBTransportManager::send(const wire::ControlMessage& message) {
    queue_->async([weak = weak_from_this(), message] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (auto* c = std::get_if<Connected>(&self->state_)) {
            c->session->send(message);
        }
    });
}

USBTransportManager::Snapshot USBTransportManager::snapshot() {
    Snapshot out;
    queue_->sync([&] {
        out.started = !std::holds_alternative<Stopped>(state_);
        if (auto* c = std::get_if<Connected>(&state_)) {
            out.connectedDeviceID = c->deviceID;
        }
    });
    return out;
}

void USBTransportManager::poll() {
    if (std::holds_alternative<Stopped>(state_)) {
        return;
    }
    std::vector<platform::usbmux::USBMuxProtocol::Device> devices;
    try {
        devices = mux_.listUSBDevices();
    } catch (...) {
        // No daemon, a daemon that exited, or one that did not answer: no devices, quietly.
    }
    if (auto* c = std::get_if<Connected>(&state_)) {
        const bool listed = std::any_of(devices.begin(), devices.end(),
                                        [&](const auto& d) { return d.id == c->deviceID; });
        if (!listed) {
            dropSession();
        }
        return;
    }
    if (devices.empty()) {
        return;
    }
    bool anyonePaired = false;
    try {
        anyonePaired = !store_->allDevices().empty();
    } catch (...) {
    }
    if (!anyonePaired) {
        return; // nobody to admit
    }
    connectTo(devices.front().id);
}

void USBTransportManager::connectTo(std::int64_t deviceID) {
    int fd = -1;
    try {
        fd = mux_.connect(deviceID, wire::ServiceConstants::usbPort);
    } catch (const std::exception& e) {
        if (!hasLoggedRetrying_) {
            options_.log(i18n::fill(
                i18n::tr("[USB] polling for a device failed; retrying quietly: {1}"), {e.what()}));
            hasLoggedRetrying_ = true;
        }
        return;
    }
    // The session may outlive the manager by a read: it holds the display, not the manager.
    auto session = USBSession::create(
        fd, store_, [display = options_.display] { return helloAckFor(display.get()); },
        USBSession::Limits{options_.replies, options_.writeStallLimit});
    std::weak_ptr<USBTransportManager> weak = weak_from_this();
    std::weak_ptr<USBSession> weakSession = session;
    session->onAccept = [weak](const PairedDevice& device) {
        if (auto self = weak.lock()) {
            if (self->onAvailabilityChange) {
                self->onAvailabilityChange(true);
            }
            if (self->onAccept) {
                self->onAccept(device);
            }
        }
    };
    session->onRefuse = [weak](std::uint16_t code, const std::string& reason) {
        if (auto self = weak.lock()) {
            if (self->onRefuse) {
                self->onRefuse(code, reason);
            }
        }
    };
    session->onMessage = [weak](std::span<const wire::ControlMessage> messages,
                                const std::string& id) {
        if (auto self = weak.lock()) {
            if (self->onMessage) {
                self->onMessage(messages, id);
            }
        }
    };
    session->onClose = [weak, weakSession](const std::optional<std::string>& id) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->queue_->async([weak, weakSession, id] {
            if (auto s = weak.lock()) {
                s->sessionClosed(weakSession.lock(), id);
            }
        });
    };
    auto* polling = std::get_if<Polling>(&state_);
    state_ = Connected{polling->timer, session, deviceID};
    session->start();
    if (hasLoggedRetrying_) {
        options_.log(i18n::fill(i18n::tr("[USB] polling reached the device {1} again"),
                                {std::to_string(deviceID)}));
        hasLoggedRetrying_ = false;
    }
}

void USBTransportManager::dropSession() {
    if (auto* c = std::get_if<Connected>(&state_)) {
        auto session = std::move(c->session);
        state_ = Polling{c->timer};
        session->stop();
    }
    if (onAvailabilityChange) {
        onAvailabilityChange(false);
    }
}

void USBTransportManager::sessionClosed(const std::shared_ptr<USBSession>& session,
                                        const std::optional<std::string>& deviceID) {
    // Only the running session's end changes the state: a session dropped earlier (unplugged,
    // stopped) already left it.
    if (auto* c = std::get_if<Connected>(&state_); c != nullptr && c->session == session) {
        state_ = Polling{c->timer};
    }
    if (onAvailabilityChange) {
        onAvailabilityChange(false);
    }
    if (onClose) {
        onClose(deviceID);
    }
}

} // namespace quillon
