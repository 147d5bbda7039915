#include "Platform/Session/SessionLockSource.hpp"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace quillon::platform {

namespace {

constexpr const char* kLogindName = "org.freedesktop.login1";
constexpr const char* kLogindSessionInterface = "org.freedesktop.login1.Session";
constexpr std::uint64_t kBusCallTimeoutUsec = 2'000'000;

std::uint64_t monotonicUsec() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::string logindSessionID() {
    if (const char* env = std::getenv("XDG_SESSION_ID"); env != nullptr && *env != '\0') {
        return env;
    }
    char* session = nullptr;
    if (sd_pid_get_session(0, &session) >= 0 && session != nullptr) {
        std::string id(session);
        std::free(session);
        return id;
    }
    return {};
}

// A screen locker on the session bus: its interface is also the well-known name it owns.
struct Locker {
    const char* name;
    LockChannel channel;
    std::string owner; // unique name of the current owner; empty: none
};

// Everything the bus thread needs, living on that thread's stack for as long as its buses.
struct ThreadContext {
    std::function<void(LockChannel, bool)> report;
    std::string logindOwner; // unique name of org.freedesktop.login1 on the system bus
    Locker lockers[2] = {{"org.freedesktop.ScreenSaver", LockChannel::freedesktopScreenSaver, {}},
                         {"org.gnome.ScreenSaver", LockChannel::gnomeScreenSaver, {}}};
};

int onActiveChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* ctx = static_cast<ThreadContext*>(userdata);
    const char* interface = sd_bus_message_get_interface(m);
    const char* sender = sd_bus_message_get_sender(m);
    if (interface == nullptr || sender == nullptr) {
        return 0;
    }
    for (const Locker& locker : ctx->lockers) {
        // Only the holder of the locker's name speaks for the locker.
        if (std::strcmp(interface, locker.name) != 0 || locker.owner.empty() ||
            locker.owner != sender) {
            continue;
        }
        int active = 0;
        if (sd_bus_message_read(m, "b", &active) < 0) {
            return 0; // malformed signal: ignore
        }
        ctx->report(locker.channel, active != 0);
    }
    return 0;
}

// NameOwnerChanged(name, old, new) from the bus itself; false for anything else.
bool readOwnerChange(sd_bus_message* m, const char*& name, const char*& newOwner) {
    const char* sender = sd_bus_message_get_sender(m);
    if (sender == nullptr || std::strcmp(sender, "org.freedesktop.DBus") != 0) {
        return false;
    }
    const char* oldOwner = nullptr;
    return sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) >= 0 && name != nullptr &&
           newOwner != nullptr;
}

int onNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* ctx = static_cast<ThreadContext*>(userdata);
    const char* name = nullptr;
    const char* newOwner = nullptr;
    if (readOwnerChange(m, name, newOwner) && std::strcmp(name, kLogindName) == 0) {
        ctx->logindOwner = newOwner;
    }
    return 0;
}

int onLockerOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* ctx = static_cast<ThreadContext*>(userdata);
    const char* name = nullptr;
    const char* newOwner = nullptr;
    if (!readOwnerChange(m, name, newOwner)) {
        return 0;
    }
    for (Locker& locker : ctx->lockers) {
        if (std::strcmp(name, locker.name) != 0) {
            continue;
        }
        locker.owner = newOwner;
        if (*newOwner == '\0') {
            // The locker exited: it no longer says the screen is locked. (A locker that takes
            // over the name from another must say what it knows itself.)
            ctx->report(locker.channel, false);
        }
    }
    return 0;
}

// The current owner of `name`, or empty.
std::string ownerOf(sd_bus* bus, const char* name) {
    std::string owner;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetNameOwner", &error, &reply, "s",
                           name) >= 0) {
        const char* unique = nullptr;
        if (sd_bus_message_read(reply, "s", &unique) >= 0 && unique != nullptr) {
            owner = unique;
        }
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return owner;
}

int onSessionPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* ctx = static_cast<ThreadContext*>(userdata);
    const char* sender = sd_bus_message_get_sender(m);
    // Anyone on the system bus may emit a signal that looks like logind's; only the name's
    // current owner is believed.
    if (sender == nullptr || ctx->logindOwner.empty() || ctx->logindOwner != sender) {
        return 0;
    }
    const char* interface = nullptr;
    if (sd_bus_message_read(m, "s", &interface) < 0 ||
        std::strcmp(interface, kLogindSessionInterface) != 0) {
        return 0;
    }
    if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}") < 0) {
        return 0;
    }
    std::optional<bool> lockedHint;
    for (;;) {
        const int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv");
        if (r <= 0) {
            break;
        }
        const char* key = nullptr;
        if (sd_bus_message_read(m, "s", &key) < 0) {
            return 0;
        }
        if (std::strcmp(key, "LockedHint") == 0) {
            int value = 0;
            if (sd_bus_message_read(m, "v", "b", &value) < 0) {
                return 0;
            }
            lockedHint = value != 0;
        } else if (sd_bus_message_skip(m, "v") < 0) {
            return 0;
        }
        if (sd_bus_message_exit_container(m) < 0) {
            return 0;
        }
    }
    if (lockedHint) {
        ctx->report(LockChannel::logind, *lockedHint);
    }
    return 0;
}

using BusPtr = sd_bus*;

void closeBus(BusPtr& bus) {
    if (bus != nullptr) {
        sd_bus_flush_close_unref(bus);
        bus = nullptr;
    }
}

bool subscribeSession(BusPtr bus, ThreadContext& ctx) {
    for (Locker& locker : ctx.lockers) {
        // Follow the owner first, then ask for it, so a change in between is not missed.
        const std::string ownerRule = std::string("type='signal',sender='org.freedesktop.DBus',"
                                                  "interface='org.freedesktop.DBus',"
                                                  "member='NameOwnerChanged',arg0='") +
                                      locker.name + "'";
        if (sd_bus_add_match(bus, nullptr, ownerRule.c_str(), onLockerOwnerChanged, &ctx) < 0) {
            return false;
        }
        const std::string rule =
            std::string("type='signal',interface='") + locker.name + "',member='ActiveChanged'";
        if (sd_bus_add_match(bus, nullptr, rule.c_str(), onActiveChanged, &ctx) < 0) {
            return false;
        }
        locker.owner = ownerOf(bus, locker.name); // none yet is fine: NameOwnerChanged tells
    }
    return true;
}

bool subscribeSystem(BusPtr bus, ThreadContext& ctx) {
    const std::string session = logindSessionID();
    if (session.empty()) {
        return false; // not in a logind session: nothing to watch here
    }
    char* path = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/login1/session", session.c_str(), &path) < 0) {
        return false;
    }
    const std::string objectPath(path);
    std::free(path);

    // Follow the owner first, then ask for it, so a restart of logind in between is not missed.
    const std::string ownerRule = std::string("type='signal',sender='org.freedesktop.DBus',"
                                              "interface='org.freedesktop.DBus',"
                                              "member='NameOwnerChanged',arg0='") +
                                  kLogindName + "'";
    if (sd_bus_add_match(bus, nullptr, ownerRule.c_str(), onNameOwnerChanged, &ctx) < 0) {
        return false;
    }
    const std::string propsRule =
        std::string("type='signal',sender='") + kLogindName +
        "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path='" +
        objectPath + "',arg0='" + kLogindSessionInterface + "'";
    if (sd_bus_add_match(bus, nullptr, propsRule.c_str(), onSessionPropertiesChanged, &ctx) < 0) {
        return false;
    }
    // No owner yet is fine: NameOwnerChanged tells us when logind appears.
    ctx.logindOwner = ownerOf(bus, kLogindName);
    return true;
}

class DBusSessionLockSource : public SessionLockSource {
public:
    ~DBusSessionLockSource() override { stop(); }

    void start(Observer observer) override {
        stop();
        const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0) {
            return; // cannot even wait for stop(): stay unwatched rather than leak a thread
        }
        wakeFd_ = wakeFd;
        std::promise<int> ready;
        auto readyFuture = ready.get_future();
        thread_ = std::thread(
            [observer = std::move(observer), wakeFd, ready = std::move(ready)]() mutable {
                serve(std::move(observer), wakeFd, ready);
            });
        busCount_ = readyFuture.wait_for(std::chrono::seconds(5)) == std::future_status::ready
                        ? readyFuture.get()
                        : 0;
    }

    void stop() override {
        if (wakeFd_ < 0) {
            return;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(wakeFd_);
        wakeFd_ = -1;
        busCount_ = 0;
    }

    int watchedChannelCount() const override { return busCount_; }

private:
    // The bus thread: subscribes, says how many buses it watches, then serves them until the
    // wake descriptor is written. The observer and the context live on this thread's stack, so
    // nothing of theirs outlives the join in stop().
    static void serve(Observer observer, int wakeFd, std::promise<int>& ready) {
        ThreadContext ctx;
        ctx.report = std::move(observer);

        BusPtr session = nullptr;
        BusPtr system = nullptr;
        if (sd_bus_open_user(&session) >= 0) {
            sd_bus_set_method_call_timeout(session, kBusCallTimeoutUsec);
            if (!subscribeSession(session, ctx)) {
                closeBus(session);
            }
        } else {
            session = nullptr;
        }
        if (sd_bus_open_system(&system) >= 0) {
            sd_bus_set_method_call_timeout(system, kBusCallTimeoutUsec);
            if (!subscribeSystem(system, ctx)) {
                closeBus(system);
            }
        } else {
            system = nullptr;
        }
        ready.set_value((session != nullptr ? 1 : 0) + (system != nullptr ? 1 : 0));

        for (;;) {
            for (BusPtr* bus : {&session, &system}) {
                while (*bus != nullptr) {
                    const int r = sd_bus_process(*bus, nullptr);
                    if (r < 0) {
                        closeBus(*bus); // the daemon went away; that bus is no longer watched
                    } else if (r == 0) {
                        break;
                    }
                }
            }
            std::vector<pollfd> fds;
            fds.push_back({wakeFd, POLLIN, 0});
            int timeoutMs = -1;
            const std::uint64_t now = monotonicUsec();
            for (BusPtr bus : {session, system}) {
                if (bus == nullptr) {
                    continue;
                }
                const int events = sd_bus_get_events(bus);
                fds.push_back({sd_bus_get_fd(bus), static_cast<short>(events < 0 ? 0 : events), 0});
                std::uint64_t until = 0;
                if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
                    const int ms = until <= now ? 0 : static_cast<int>((until - now + 999) / 1000);
                    timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
                }
            }
            const int r = ::poll(fds.data(), fds.size(), timeoutMs);
            if (r < 0 && errno != EINTR) {
                break;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                break; // stop()
            }
        }
        closeBus(session);
        closeBus(system);
    }

    std::thread thread_;
    int wakeFd_ = -1;
    int busCount_ = 0;
};

} // namespace

std::unique_ptr<SessionLockSource> makeDBusSessionLockSource() {
    return std::make_unique<DBusSessionLockSource>();
}

} // namespace quillon::platform
