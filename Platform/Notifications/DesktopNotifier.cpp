#include "Platform/Notifications/DesktopNotifier.hpp"

#include "Platform/Dispatch/SerialQueue.hpp"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <map>

namespace quillon::platform {

namespace {

constexpr std::uint64_t kCallTimeoutMicros = 2'000'000;

class FreedesktopNotifier final : public DesktopNotifier {
public:
    explicit FreedesktopNotifier(std::string appName)
        : appName_(std::move(appName)), queue_(std::make_shared<SerialQueue>("quillon-notify")) {}

    ~FreedesktopNotifier() override {
        // Closes the connection on its own thread, then joins it.
        queue_->sync([this] { bus_ = sd_bus_flush_close_unref(bus_); });
        queue_.reset();
    }

    void notify(const DesktopNotification& notification) override {
        queue_->async([this, n = notification] { send(n); });
    }

private:
    // On the queue.
    bool connect() {
        if (bus_ != nullptr && sd_bus_is_open(bus_) > 0) {
            return true;
        }
        bus_ = sd_bus_flush_close_unref(bus_);
        ids_.clear(); // ids of another connection's server mean nothing now
        return sd_bus_open_user(&bus_) >= 0;
    }

    void send(const DesktopNotification& n) {
        if (!connect()) {
            return;
        }
        sd_bus_message* call = nullptr;
        int r = sd_bus_message_new_method_call(bus_, &call, "org.freedesktop.Notifications",
                                               "/org/freedesktop/Notifications",
                                               "org.freedesktop.Notifications", "Notify");
        const auto replaces = ids_.find(n.tag);
        const std::uint32_t replacesID = replaces != ids_.end() ? replaces->second : 0;
        const std::string body = escapeNotificationMarkup(n.body);
        if (r >= 0) {
            r = sd_bus_message_append(call, "susss", appName_.c_str(), replacesID, n.icon.c_str(),
                                      n.summary.c_str(), body.c_str());
        }
        if (r >= 0) {
            r = sd_bus_message_append(call, "as", 0); // no actions
        }
        if (r >= 0) {
            r = sd_bus_message_open_container(call, 'a', "{sv}");
        }
        if (r >= 0) {
            const std::uint8_t urgency = static_cast<std::uint8_t>(n.urgency);
            r = sd_bus_message_append(call, "{sv}", "urgency", "y", urgency);
        }
        if (r >= 0) {
            r = sd_bus_message_append(call, "{sv}", "desktop-entry", "s", "quillon");
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(call);
        }
        if (r >= 0) {
            r = sd_bus_message_append(call, "i", -1); // the server's default timeout
        }
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        if (r >= 0) {
            r = sd_bus_call(bus_, call, kCallTimeoutMicros, &error, &reply);
        }
        std::uint32_t id = 0;
        if (r >= 0 && sd_bus_message_read(reply, "u", &id) >= 0 && !n.tag.empty()) {
            ids_[n.tag] = id;
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
    }

    std::string appName_;
    std::shared_ptr<SerialQueue> queue_;
    sd_bus* bus_ = nullptr;                    // the queue's
    std::map<std::string, std::uint32_t> ids_; // tag -> the server's id; the queue's
};

} // namespace

std::string escapeNotificationMarkup(const std::string& body) {
    std::string out;
    out.reserve(body.size());
    for (const char c : body) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::shared_ptr<DesktopNotifier> makeFreedesktopNotifier(std::string appName) {
    return std::make_shared<FreedesktopNotifier>(std::move(appName));
}

} // namespace quillon::platform
