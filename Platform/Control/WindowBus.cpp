#include "Platform/Control/WindowBus.hpp"

#include "Platform/Control/ControlMessages.hpp"
#include "Platform/Locale/Translation.hpp"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <poll.h>
#include <thread>

namespace quillon::platform {

namespace {

// Longer than the host's own wait for its main queue, so a busy host answers with its error
// first.
constexpr std::uint64_t kCallTimeoutUsec = 15 * 1000000ull;

using ReplyHandler = std::function<void(sd_bus_message* reply, std::optional<ControlError> error)>;

std::uint64_t monotonicUsec() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

} // namespace

struct WindowBus::Impl {
    // A call on its way; its address is the slot's userdata (list nodes do not move).
    struct Call {
        Impl* impl = nullptr;
        ReplyHandler handler;
    };

    sd_bus* bus = nullptr;
    bool lost = false;
    std::list<Call> calls;
    // Failures found while sending, delivered from the next process() (never from inside the
    // caller's call).
    std::vector<std::function<void()>> deferred;
    std::function<void()> show;
    std::function<void(bool)> presence;
    std::function<void()> changed;

    static int onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* call = static_cast<Call*>(userdata);
        Impl& self = *call->impl;
        ReplyHandler handler = std::move(call->handler);
        for (auto it = self.calls.begin(); it != self.calls.end(); ++it) {
            if (&*it == call) {
                self.calls.erase(it);
                break;
            }
        }
        if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
            handler(nullptr, controlwire::callError(error, -sd_bus_message_get_errno(m)));
        } else {
            handler(m, std::nullopt);
        }
        return 1;
    }

    static int onShow(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<Impl*>(userdata);
        if (self.show) {
            self.show();
        }
        return sd_bus_reply_method_return(m, "");
    }

    static int onOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<Impl*>(userdata);
        const char *name = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || name == nullptr ||
            std::strcmp(name, control::busName) != 0) {
            return 0;
        }
        if (self.presence) {
            self.presence(after != nullptr && *after != '\0');
        }
        return 0;
    }

    static int onChanged(sd_bus_message*, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<Impl*>(userdata);
        if (self.changed) {
            self.changed();
        }
        return 0;
    }

    void call(const char* method, const std::function<int(sd_bus_message*)>& append,
              ReplyHandler handler) {
        sd_bus_message* request = nullptr;
        int r =
            lost ? -ENOTCONN
                 : sd_bus_message_new_method_call(bus, &request, control::busName,
                                                  control::objectPath, control::interface, method);
        if (r >= 0 && append) {
            r = append(request);
        }
        if (r >= 0) {
            calls.push_back({this, std::move(handler)});
            // A floating slot: the bus owns it and drops it unanswered when it closes.
            r = sd_bus_call_async(bus, nullptr, request, onReply, &calls.back(), kCallTimeoutUsec);
            if (r < 0) {
                handler = std::move(calls.back().handler);
                calls.pop_back();
            }
        }
        sd_bus_message_unref(request);
        if (r < 0) {
            deferred.push_back([handler = std::move(handler), r] {
                handler(nullptr, ControlError("no-bus", std::strerror(-r)));
            });
        }
    }

    void callDone(const char* method, const std::function<int(sd_bus_message*)>& append,
                  Done done) {
        call(method, append,
             [done = std::move(done)](sd_bus_message*, std::optional<ControlError> error) {
                 if (done) {
                     done(std::move(error));
                 }
             });
    }

    template <typename T>
    void callRead(const char* method, Answer<T> answer,
                  std::function<int(sd_bus_message*, T&)> read) {
        call(method, {},
             [answer = std::move(answer),
              read = std::move(read)](sd_bus_message* reply, std::optional<ControlError> error) {
                 if (error) {
                     answer(std::nullopt, std::move(error));
                     return;
                 }
                 T value{};
                 const int r = read(reply, value);
                 if (r < 0) {
                     answer(std::nullopt, ControlError("bad-reply", std::strerror(-r)));
                 } else {
                     answer(std::move(value), std::nullopt);
                 }
             });
    }
};

WindowBus::WindowBus() : impl_(std::make_unique<Impl>()) {
    const int r = sd_bus_open_user(&impl_->bus);
    if (r < 0) {
        throw ControlError("no-bus",
                           i18n::fill(i18n::tr("no session bus: {1}"), {std::strerror(-r)}));
    }
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Show", "", "", Impl::onShow, SD_BUS_VTABLE_UNPRIVILEGED), SD_BUS_VTABLE_END};
    // Served from the start: a Show() that arrives before the window is up waits in the socket.
    sd_bus_add_object_vtable(impl_->bus, nullptr, control::windowObjectPath,
                             control::windowInterface, vtable, impl_.get());
}

WindowBus::~WindowBus() {
    // The floating slots (calls, matches, the object) go with the bus, their callbacks unrun.
    sd_bus_flush_close_unref(impl_->bus);
}

bool WindowBus::claimWindow(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        // Not queued (no flag): taken, or -EEXIST while another process holds it.
        const int r = sd_bus_request_name(impl_->bus, control::windowBusName, 0);
        if (r >= 0 || r == -EALREADY) {
            return true;
        }
        if (r != -EEXIST || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void WindowBus::onShow(std::function<void()> show) {
    impl_->show = std::move(show);
}

void WindowBus::watchHost(std::function<void(bool)> presence, std::function<void()> changed) {
    impl_->presence = std::move(presence);
    impl_->changed = std::move(changed);
    const std::string owner =
        std::string("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop."
                    "DBus',member='NameOwnerChanged',arg0='") +
        control::busName + "'";
    sd_bus_add_match_async(impl_->bus, nullptr, owner.c_str(), Impl::onOwnerChanged, nullptr,
                           impl_.get());
    const std::string changedRule = std::string("type='signal',sender='") + control::busName +
                                    "',path='" + control::objectPath + "',interface='" +
                                    control::interface + "',member='Changed'";
    sd_bus_add_match_async(impl_->bus, nullptr, changedRule.c_str(), Impl::onChanged, nullptr,
                           impl_.get());
}

int WindowBus::fd() const {
    return sd_bus_get_fd(impl_->bus);
}

short WindowBus::events() const {
    if (impl_->lost) {
        return 0;
    }
    const int events = sd_bus_get_events(impl_->bus);
    return events > 0 ? static_cast<short>(events) : POLLIN;
}

std::optional<std::chrono::milliseconds> WindowBus::timeout() const {
    if (!impl_->deferred.empty()) {
        return std::chrono::milliseconds(0);
    }
    if (impl_->lost) {
        return std::nullopt;
    }
    std::uint64_t at = UINT64_MAX;
    if (sd_bus_get_timeout(impl_->bus, &at) < 0 || at == UINT64_MAX) {
        return std::nullopt;
    }
    const std::uint64_t now = monotonicUsec();
    return std::chrono::milliseconds(at > now ? (at - now + 999) / 1000 : 0);
}

bool WindowBus::process() {
    auto deferred = std::move(impl_->deferred);
    impl_->deferred.clear();
    for (auto& work : deferred) {
        work();
    }
    while (!impl_->lost) {
        const int r = sd_bus_process(impl_->bus, nullptr);
        if (r < 0) {
            impl_->lost = true;
            break;
        }
        if (r == 0) {
            break;
        }
    }
    return !impl_->lost;
}

void WindowBus::status(Answer<ControlState> answer) {
    impl_->callRead<ControlState>("Status", std::move(answer), controlwire::readStatus);
}

void WindowBus::devices(Answer<std::vector<ControlDevice>> answer) {
    impl_->callRead<std::vector<ControlDevice>>("Devices", std::move(answer),
                                                controlwire::readDevices);
}

void WindowBus::settings(Answer<std::map<std::string, std::string>> answer) {
    impl_->callRead<std::map<std::string, std::string>>("Settings", std::move(answer),
                                                        controlwire::readSettings);
}

void WindowBus::pairingCode(Answer<std::string> answer) {
    impl_->callRead<std::string>("PairingCode", std::move(answer),
                                 [](sd_bus_message* reply, std::string& pin) {
                                     const char* text = nullptr;
                                     const int r = sd_bus_message_read(reply, "s", &text);
                                     pin = text != nullptr ? text : "";
                                     return r;
                                 });
}

void WindowBus::pair(Done done) {
    impl_->callDone("Pair", {}, std::move(done));
}

void WindowBus::cancel(Done done) {
    impl_->callDone("Cancel", {}, std::move(done));
}

void WindowBus::disconnect(const std::string& device, Done done) {
    impl_->callDone(
        "Disconnect",
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", device.c_str()); },
        std::move(done));
}

void WindowBus::unpair(const std::string& device, Done done) {
    impl_->callDone(
        "Unpair", [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", device.c_str()); },
        std::move(done));
}

void WindowBus::setTelemetry(bool enabled, Done done) {
    impl_->callDone(
        "SetTelemetry",
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "b", enabled ? 1 : 0); },
        std::move(done));
}

void WindowBus::setSetting(const std::string& key, const std::string& value, Done done) {
    impl_->callDone(
        "SetSetting",
        [&](sd_bus_message* m) {
            return sd_bus_message_append(m, "ss", key.c_str(), value.c_str());
        },
        std::move(done));
}

void WindowBus::restart(Done done) {
    impl_->callDone("Restart", {}, std::move(done));
}

} // namespace quillon::platform
