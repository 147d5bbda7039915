#include "Platform/Control/ControlBus.hpp"

#include "Platform/Control/ControlMessages.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quillon::platform {

namespace {

constexpr auto kMainQueueAnswer = std::chrono::seconds(10);
constexpr auto kReconnectPause = std::chrono::milliseconds(1000);
// A device argument (an ID or a number) longer than this names no device.
constexpr std::size_t kMaxDeviceArgument = 1024;
// No setting's key or value is longer than this (a computer name is at most 63 bytes).
constexpr std::size_t kMaxSettingArgument = 4096;

// A call handed to the main queue, answered there and waited for on the bus thread.
struct Pending {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::string errorName;
    std::string errorText;
};

const char* orEmpty(const std::optional<std::string>& value) {
    return value ? value->c_str() : "";
}

std::optional<std::string> nonEmpty(const char* text) {
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    return std::string(text);
}

} // namespace

struct ControlServer::Impl {
    std::weak_ptr<ControlHandler> handler;
    std::string ownExecutable = controlwire::ownExecutable();
    std::shared_ptr<MainQueue> mainQueue;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<bool> changed{false};
    std::thread thread;
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    std::mutex currentMutex;
    std::shared_ptr<Pending> current;

    // Runs `work` with the handler on the main queue and waits for it. False (with the error
    // set) when it failed, the handler is gone, or the host did not answer in time.
    bool onMain(const std::function<void(ControlHandler&)>& work, sd_bus_error* error) {
        auto pending = std::make_shared<Pending>();
        {
            std::lock_guard lock(currentMutex);
            current = pending;
        }
        mainQueue->post([pending, work, weak = handler] {
            std::string name, text;
            if (auto h = weak.lock()) {
                try {
                    work(*h);
                } catch (const ControlError& e) {
                    name = e.name();
                    text = e.what();
                } catch (const std::exception& e) {
                    name = control::errorFailed;
                    text = e.what();
                }
            } else {
                name = control::errorFailed;
                text = i18n::tr("the host is shutting down");
            }
            std::lock_guard lock(pending->m);
            pending->errorName = std::move(name);
            pending->errorText = std::move(text);
            pending->done = true;
            pending->cv.notify_all();
        });
        std::unique_lock lock(pending->m);
        const bool answered = pending->cv.wait_for(lock, kMainQueueAnswer, [&] {
            return pending->done || stopping.load();
        }) && pending->done;
        {
            std::lock_guard guard(currentMutex);
            current.reset();
        }
        if (!answered) {
            sd_bus_error_set(error, control::errorFailed,
                             i18n::tr("the host did not answer").c_str());
            return false;
        }
        if (!pending->errorName.empty()) {
            sd_bus_error_set(error, pending->errorName.c_str(), pending->errorText.c_str());
            return false;
        }
        return true;
    }

    static Impl& self(void* userdata) { return *static_cast<Impl*>(userdata); }

    static int methodState(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        ControlState s;
        if (!self(userdata).onMain([&](ControlHandler& h) { s = h.state(); }, error)) {
            return -EIO;
        }
        return sd_bus_reply_method_return(m, "(sbssbsbs)", orEmpty(s.pin), s.locked ? 1 : 0,
                                          orEmpty(s.lastError), s.channel.c_str(),
                                          s.permitted ? 1 : 0, s.permissionReason.c_str(),
                                          s.telemetry ? 1 : 0, s.serviceName.c_str());
    }

    static int methodStatus(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        ControlState s;
        if (!self(userdata).onMain([&](ControlHandler& h) { s = h.state(); }, error)) {
            return -EIO;
        }
        return reply(m, [&](sd_bus_message* r) { return controlwire::appendStatus(r, s); });
    }

    static int methodDevices(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        std::vector<ControlDevice> devices;
        if (!self(userdata).onMain([&](ControlHandler& h) { devices = h.devices(); }, error)) {
            return -EIO;
        }
        return reply(m, [&](sd_bus_message* r) { return controlwire::appendDevices(r, devices); });
    }

    static int methodSettings(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        std::map<std::string, std::string> settings;
        if (!self(userdata).onMain([&](ControlHandler& h) { settings = h.settings(); }, error)) {
            return -EIO;
        }
        return reply(m,
                     [&](sd_bus_message* r) { return controlwire::appendSettings(r, settings); });
    }

    // A method return whose body `append` writes.
    static int reply(sd_bus_message* m, const std::function<int(sd_bus_message*)>& append) {
        sd_bus_message* reply = nullptr;
        int r = sd_bus_message_new_method_return(m, &reply);
        if (r < 0) {
            return r;
        }
        r = append(reply);
        if (r >= 0) {
            r = sd_bus_send(nullptr, reply, nullptr);
        }
        sd_bus_message_unref(reply);
        return r;
    }

    // Whether the caller runs this process's own executable (as the bus daemon knows the
    // caller's process; see "The PIN" in the header).
    bool callerIsThisProgram(sd_bus_message* m) {
        sd_bus_creds* creds = nullptr;
        if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_PID | SD_BUS_CREDS_EXE | SD_BUS_CREDS_AUGMENT,
                                      &creds) < 0) {
            return false;
        }
        const char* exe = nullptr;
        const bool same = sd_bus_creds_get_exe(creds, &exe) >= 0 && exe != nullptr &&
                          controlwire::sameExecutable(ownExecutable, exe);
        sd_bus_creds_unref(creds);
        return same;
    }

    static int methodPairingCode(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        const bool trusted = self(userdata).callerIsThisProgram(m);
        std::string pin;
        if (!self(userdata).onMain([&](ControlHandler& h) { pin = h.pairingCode(trusted); },
                                   error)) {
            return -EIO;
        }
        return sd_bus_reply_method_return(m, "s", pin.c_str());
    }

    static int methodSetSetting(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        const char *key = nullptr, *value = nullptr;
        const int r = sd_bus_message_read(m, "ss", &key, &value);
        if (r < 0) {
            return r;
        }
        const std::string k = key != nullptr ? key : "";
        const std::string v = value != nullptr ? value : "";
        if (k.size() > kMaxSettingArgument || v.size() > kMaxSettingArgument) {
            // No key or value is this long: refused here, not copied to the host.
            sd_bus_error_set(error, control::errorInvalidValue,
                             i18n::fill(i18n::tr("no setting takes a key or value {1} bytes long"),
                                        {std::to_string(std::max(k.size(), v.size()))})
                                 .c_str());
            return -EINVAL;
        }
        if (!self(userdata).onMain([&](ControlHandler& h) { h.setSetting(k, v); }, error)) {
            return -EIO;
        }
        return sd_bus_reply_method_return(m, "");
    }

    static int methodPair(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        std::string pin;
        if (!self(userdata).onMain([&](ControlHandler& h) { pin = h.pair(); }, error)) {
            return -EIO;
        }
        return sd_bus_reply_method_return(m, "s", pin.c_str());
    }

    static int methodWithDevice(sd_bus_message* m, void* userdata, sd_bus_error* error,
                                void (ControlHandler::*op)(const std::string&)) {
        const char* device = nullptr;
        int r = sd_bus_message_read(m, "s", &device);
        if (r < 0) {
            return r;
        }
        const std::string name = device != nullptr ? device : "";
        if (name.size() > kMaxDeviceArgument) {
            // No device ID or number is this long; refused here, not copied to the host, and
            // not echoed back.
            const std::string text =
                i18n::fill(i18n::tr("no such device: the argument is {1} bytes long"),
                           {std::to_string(name.size())});
            sd_bus_error_set(error, control::errorNoSuchDevice, text.c_str());
            return -EINVAL;
        }
        if (!self(userdata).onMain([&](ControlHandler& h) { (h.*op)(name); }, error)) {
            return -EIO;
        }
        return sd_bus_reply_method_return(m, "");
    }
    static int methodDisconnect(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return methodWithDevice(m, userdata, error, &ControlHandler::disconnect);
    }
    static int methodUnpair(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        return methodWithDevice(m, userdata, error, &ControlHandler::unpair);
    }

    static int methodSetTelemetry(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        int enabled = 0;
        int r = sd_bus_message_read(m, "b", &enabled);
        if (r < 0) {
            return r;
        }
        if (!self(userdata).onMain([&](ControlHandler& h) { h.setTelemetry(enabled != 0); },
                                   error)) {
            return -EIO;
        }
        return sd_bus_reply_method_return(m, "");
    }

    template <void (ControlHandler::*op)()>
    static int methodPlain(sd_bus_message* m, void* userdata, sd_bus_error* error) {
        if (!self(userdata).onMain([](ControlHandler& h) { (h.*op)(); }, error)) {
            return -EIO;
        }
        return sd_bus_reply_method_return(m, "");
    }

    // Connects, exports the object and takes the name. A negative errno on failure, with
    // nothing left open.
    int connect() {
        static const sd_bus_vtable vtable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("State", "", "(sbssbsbs)", methodState, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Status", "", "a{sv}", methodStatus, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Devices", "", "a(ssb)", methodDevices, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Pair", "", "s", methodPair, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Cancel", "", "", methodPlain<&ControlHandler::cancel>,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Disconnect", "s", "", methodDisconnect, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Unpair", "s", "", methodUnpair, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("SetTelemetry", "b", "", methodSetTelemetry, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Show", "", "", methodPlain<&ControlHandler::show>,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Quit", "", "", methodPlain<&ControlHandler::quit>,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("PairingCode", "", "s", methodPairingCode, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Settings", "", "a{ss}", methodSettings, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("SetSetting", "ss", "", methodSetSetting, SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_METHOD("Restart", "", "", methodPlain<&ControlHandler::restart>,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_SIGNAL("Changed", "", 0),
            SD_BUS_VTABLE_END};
        int r = sd_bus_open_user(&bus);
        if (r >= 0) {
            r = sd_bus_add_object_vtable(bus, &slot, control::objectPath, control::interface,
                                         vtable, this);
        }
        if (r >= 0) {
            r = sd_bus_request_name(bus, control::busName, 0);
        }
        if (r < 0) {
            disconnect();
        }
        return r;
    }

    void disconnect() {
        slot = sd_bus_slot_unref(slot);
        if (bus != nullptr) {
            bus = sd_bus_flush_close_unref(bus);
        }
    }

    // Waits for the wake descriptor for up to `timeout`; true when stopping.
    bool sleep(std::chrono::milliseconds timeout) {
        pollfd fd{wakeFd, POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(timeout.count()));
        drainWake();
        return stopping.load();
    }

    void drainWake() {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
    }

    // Serves until stopped. A lost bus (the session bus restarted) is connected again every
    // second until it is back.
    void run() {
        while (!stopping.load()) {
            if (bus == nullptr) {
                if (connect() < 0) {
                    if (sleep(kReconnectPause)) {
                        break;
                    }
                    continue;
                }
            }
            const int r = sd_bus_process(bus, nullptr);
            if (r < 0) {
                disconnect();
                continue;
            }
            if (r > 0) {
                continue;
            }
            std::uint64_t usec = UINT64_MAX;
            sd_bus_get_timeout(bus, &usec);
            int timeout = -1;
            if (usec != UINT64_MAX) {
                timespec ts{};
                ::clock_gettime(CLOCK_MONOTONIC, &ts);
                const std::uint64_t now =
                    static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + ts.tv_nsec / 1000;
                timeout = usec > now ? static_cast<int>((usec - now + 999) / 1000) : 0;
            }
            pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                             {wakeFd, POLLIN, 0}};
            ::poll(fds, 2, timeout);
            if ((fds[1].revents & POLLIN) != 0) {
                drainWake();
            }
            // Told on the bus's own thread (sd-bus is not shared between threads).
            if (changed.exchange(false)) {
                sd_bus_emit_signal(bus, control::objectPath, control::interface, "Changed", "");
            }
        }
        disconnect();
    }
};

ControlServer::ControlServer(std::weak_ptr<ControlHandler> handler,
                             std::shared_ptr<MainQueue> mainQueue)
    : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->mainQueue = std::move(mainQueue);
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The first connection is made here, so a missing bus or a taken name is the caller's to
    // know; the thread takes the bus over from then on.
    const int r = impl_->connect();
    if (r < 0) {
        ::close(impl_->wakeFd);
        throw ControlError(r == -EEXIST ? "name-taken" : "no-bus",
                           r == -EEXIST
                               ? i18n::fill(i18n::tr("another host owns {1}"), {control::busName})
                               : i18n::fill(i18n::tr("no session bus: {1}"), {std::strerror(-r)}));
    }
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

void ControlServer::notifyChanged() {
    impl_->changed.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(impl_->wakeFd, &one, sizeof one);
}

ControlServer::~ControlServer() {
    impl_->stopping.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(impl_->wakeFd, &one, sizeof one);
    {
        std::lock_guard lock(impl_->currentMutex);
        if (impl_->current) {
            std::lock_guard pendingLock(impl_->current->m);
            impl_->current->cv.notify_all();
        }
    }
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
    ::close(impl_->wakeFd);
}

struct ControlClient::Impl {
    sd_bus* bus = nullptr;

    // Calls a method and returns its answer (the caller unrefs it); throws ControlError.

    sd_bus_message* callWith(const std::function<int(sd_bus_message*)>& append,
                             const char* method) {
        sd_bus_message* request = nullptr;
        int r = sd_bus_message_new_method_call(bus, &request, control::busName, control::objectPath,
                                               control::interface, method);
        if (r >= 0 && append) {
            r = append(request);
        }
        if (r < 0) {
            sd_bus_message_unref(request);
            throw ControlError("internal", std::strerror(-r));
        }
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        r = sd_bus_call(bus, request, 30 * 1000000ull, &error, &reply);
        sd_bus_message_unref(request);
        if (r < 0) {
            auto failure = controlwire::callError(&error, r);
            sd_bus_error_free(&error);
            throw failure;
        }
        return reply;
    }

    void callPlain(const char* method, const std::function<int(sd_bus_message*)>& append = {}) {
        sd_bus_message_unref(callWith(append, method));
    }
    // A method without arguments that answers one string.
    std::string callText(const char* method);
};

ControlClient::ControlClient() : impl_(std::make_unique<Impl>()) {
    const int r = sd_bus_open_user(&impl_->bus);
    if (r < 0) {
        const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        throw ControlError(
            "no-bus",
            i18n::fill(i18n::tr("no session bus ({1}): {2}"),
                       {address != nullptr ? std::string(address)
                                           : i18n::tr("DBUS_SESSION_BUS_ADDRESS is not set"),
                        std::strerror(-r)}));
    }
}

ControlClient::~ControlClient() {
    sd_bus_flush_close_unref(impl_->bus);
}

ControlState ControlClient::state() {
    sd_bus_message* reply = impl_->callWith({}, "Status");
    ControlState s;
    const int r = controlwire::readStatus(reply, s);
    sd_bus_message_unref(reply);
    if (r < 0) {
        throw ControlError("bad-reply", std::strerror(-r));
    }
    return s;
}

ControlState ControlClient::basicState() {
    sd_bus_message* reply = impl_->callWith({}, "State");
    const char *pin = nullptr, *lastError = nullptr, *channel = nullptr, *reason = nullptr,
               *service = nullptr;
    int locked = 0, permitted = 0, telemetry = 0;
    const int r = sd_bus_message_read(reply, "(sbssbsbs)", &pin, &locked, &lastError, &channel,
                                      &permitted, &reason, &telemetry, &service);
    ControlState s;
    if (r >= 0) {
        s.pin = nonEmpty(pin);
        s.locked = locked != 0;
        s.lastError = nonEmpty(lastError);
        s.channel = channel != nullptr ? channel : "";
        s.permitted = permitted != 0;
        s.permissionReason = reason != nullptr ? reason : "";
        s.telemetry = telemetry != 0;
        s.serviceName = service != nullptr ? service : "";
    }
    sd_bus_message_unref(reply);
    if (r < 0) {
        throw ControlError("bad-reply", std::strerror(-r));
    }
    return s;
}

std::vector<ControlDevice> ControlClient::devices() {
    sd_bus_message* reply = impl_->callWith({}, "Devices");
    std::vector<ControlDevice> out;
    const int r = controlwire::readDevices(reply, out);
    sd_bus_message_unref(reply);
    if (r < 0) {
        throw ControlError("bad-reply", std::strerror(-r));
    }
    return out;
}

std::map<std::string, std::string> ControlClient::settings() {
    sd_bus_message* reply = impl_->callWith({}, "Settings");
    std::map<std::string, std::string> out;
    const int r = controlwire::readSettings(reply, out);
    sd_bus_message_unref(reply);
    if (r < 0) {
        throw ControlError("bad-reply", std::strerror(-r));
    }
    return out;
}

std::string ControlClient::pair() {
    return impl_->callText("Pair");
}

std::string ControlClient::pairingCode() {
    return impl_->callText("PairingCode");
}

std::string ControlClient::Impl::callText(const char* method) {
    sd_bus_message* reply = callWith({}, method);
    const char* pin = nullptr;
    const int r = sd_bus_message_read(reply, "s", &pin);
    std::string out = r >= 0 && pin != nullptr ? pin : "";
    sd_bus_message_unref(reply);
    if (r < 0) {
        throw ControlError("bad-reply", std::strerror(-r));
    }
    return out;
}

void ControlClient::cancel() {
    impl_->callPlain("Cancel");
}
void ControlClient::disconnect(const std::string& device) {
    impl_->callPlain("Disconnect", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "s", device.c_str());
    });
}
void ControlClient::unpair(const std::string& device) {
    impl_->callPlain(
        "Unpair", [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", device.c_str()); });
}
void ControlClient::setTelemetry(bool enabled) {
    impl_->callPlain("SetTelemetry", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "b", enabled ? 1 : 0);
    });
}
void ControlClient::show() {
    impl_->callPlain("Show");
}
void ControlClient::quit() {
    impl_->callPlain("Quit");
}
void ControlClient::restart() {
    impl_->callPlain("Restart");
}
void ControlClient::setSetting(const std::string& key, const std::string& value) {
    impl_->callPlain("SetSetting", [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "ss", key.c_str(), value.c_str());
    });
}

bool ControlClient::showWindow(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        int owned = 0;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(impl_->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                                   control::windowBusName);
        if (r >= 0) {
            r = sd_bus_message_read(reply, "b", &owned);
        }
        sd_bus_message_unref(reply);
        if (r < 0) {
            auto failure = controlwire::callError(&error, r);
            sd_bus_error_free(&error);
            throw failure;
        }
        if (owned != 0) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(impl_->bus, control::windowBusName, control::windowObjectPath,
                                     control::windowInterface, "Show", &error, nullptr, "");
    if (r < 0) {
        auto failure = controlwire::callError(&error, r);
        sd_bus_error_free(&error);
        throw failure;
    }
    return true;
}

std::unique_ptr<InstanceLock> InstanceLock::acquire(const std::string& path,
                                                    std::chrono::milliseconds wait) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == ELOOP) {
            throw InstanceLockError(
                i18n::fill(i18n::tr("the one-instance lock {1} is a symbolic link; Quillon does "
                                    "not follow it (remove it and start again)"),
                           {path}));
        }
        throw InstanceLockError(
            i18n::fill(i18n::tr("the one-instance lock {1} cannot be opened: {2}"),
                       {path, std::strerror(errno)}));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        throw InstanceLockError(
            i18n::fill(i18n::tr("the one-instance lock {1} is not a regular file of this user; "
                                "Quillon does not use it (remove it and start again)"),
                       {path}));
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            const int error = errno;
            ::close(fd);
            throw InstanceLockError(
                i18n::fill(i18n::tr("the one-instance lock {1} cannot be locked: {2}"),
                           {path, std::strerror(error)}));
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd);
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::string InstanceLock::defaultPath() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/') {
        ::mkdir(runtime, 0700); // a fresh test home may not have it yet
        return std::string(runtime) + "/quillon.lock";
    }
    return "/tmp/quillon-" + std::to_string(::getuid()) + ".lock";
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

} // namespace quillon::platform
