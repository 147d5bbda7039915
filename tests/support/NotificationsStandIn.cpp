#include "tests/support/NotificationsStandIn.hpp"

#include <systemd/sd-bus.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace quillon::testing {

namespace {

void check(int r, const char* what) {
    if (r < 0) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(-r));
    }
}

} // namespace

struct NotificationsStandIn::Impl {
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    int wake = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    mutable std::mutex m;
    std::vector<Notification> received;
    std::uint32_t nextID = 1;

    static int notify(sd_bus_message* msg, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Impl*>(userdata);
        Notification n;
        const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
        int r = sd_bus_message_read(msg, "susss", &app, &n.replacesID, &icon, &summary, &body);
        if (r < 0) {
            return r;
        }
        n.appName = app;
        n.icon = icon;
        n.summary = summary;
        n.body = body;
        r = sd_bus_message_skip(msg, "as");
        if (r >= 0) {
            r = sd_bus_message_enter_container(msg, 'a', "{sv}");
        }
        while (r > 0) {
            r = sd_bus_message_enter_container(msg, 'e', "sv");
            if (r <= 0) {
                break;
            }
            const char* key = nullptr;
            r = sd_bus_message_read(msg, "s", &key);
            if (r >= 0 && std::strcmp(key, "urgency") == 0) {
                r = sd_bus_message_read(msg, "v", "y", &n.urgency);
            } else if (r >= 0) {
                r = sd_bus_message_skip(msg, "v");
            }
            if (r >= 0) {
                r = sd_bus_message_exit_container(msg);
            }
        }
        {
            std::lock_guard lock(self->m);
            n.id = n.replacesID != 0 ? n.replacesID : self->nextID++;
            self->received.push_back(n);
        }
        return sd_bus_reply_method_return(msg, "u", n.id);
    }
    static int capabilities(sd_bus_message* msg, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(msg, "as", 1, "body");
    }
    static int information(sd_bus_message* msg, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(msg, "ssss", "stand-in", "quillon tests", "1", "1.2");
    }
    static int close(sd_bus_message* msg, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(msg, "");
    }

    void run() {
        while (!stop.load()) {
            const int r = sd_bus_process(bus, nullptr);
            if (r < 0) {
                return;
            }
            if (r > 0) {
                continue;
            }
            pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                             {wake, POLLIN, 0}};
            ::poll(fds, 2, 200);
        }
    }
};

NotificationsStandIn::NotificationsStandIn(const std::string& busAddress)
    : impl_(std::make_unique<Impl>()) {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", Impl::notify, 0),
        SD_BUS_METHOD("GetCapabilities", "", "as", Impl::capabilities, 0),
        SD_BUS_METHOD("GetServerInformation", "", "ssss", Impl::information, 0),
        SD_BUS_METHOD("CloseNotification", "u", "", Impl::close, 0),
        SD_BUS_SIGNAL("NotificationClosed", "uu", 0),
        SD_BUS_VTABLE_END};
    check(sd_bus_new(&impl_->bus), "sd_bus_new");
    check(sd_bus_set_address(impl_->bus, busAddress.c_str()), "sd_bus_set_address");
    check(sd_bus_set_bus_client(impl_->bus, 1), "sd_bus_set_bus_client");
    check(sd_bus_start(impl_->bus), "sd_bus_start");
    check(sd_bus_add_object_vtable(impl_->bus, &impl_->slot, "/org/freedesktop/Notifications",
                                   "org.freedesktop.Notifications", vtable, impl_.get()),
          "add notifications object");
    check(sd_bus_request_name(impl_->bus, "org.freedesktop.Notifications", 0),
          "notifications name");
    impl_->wake = ::eventfd(0, EFD_CLOEXEC);
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

NotificationsStandIn::~NotificationsStandIn() {
    impl_->stop.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(impl_->wake, &one, sizeof one);
    impl_->thread.join();
    ::close(impl_->wake);
    sd_bus_slot_unref(impl_->slot);
    sd_bus_flush_close_unref(impl_->bus);
}

std::vector<NotificationsStandIn::Notification> NotificationsStandIn::received() const {
    std::lock_guard lock(impl_->m);
    return impl_->received;
}

std::unique_ptr<NotificationsStandIn::Notification>
NotificationsStandIn::waitFor(const std::string& summary, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        for (const auto& n : received()) {
            if (n.summary == summary) {
                return std::make_unique<Notification>(n);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return nullptr;
}

} // namespace quillon::testing
