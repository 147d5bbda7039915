#include "tests/support/GnomeShellFixture.hpp"

#include <systemd/sd-bus.h>
#include <wayland-client.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace quillon::testing {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool hasOwner(const std::string& address, const char* name) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        return false;
    }
    int has = 0;
    if (sd_bus_set_address(bus, address.c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 &&
        sd_bus_start(bus) >= 0) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                               name) >= 0 &&
            sd_bus_message_read(reply, "b", &has) < 0) {
            has = 0;
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }
    sd_bus_flush_close_unref(bus);
    return has != 0;
}

bool announcesOutput(const std::string& display) {
    wl_display* d = wl_display_connect(display.c_str());
    if (d == nullptr) {
        return false;
    }
    bool found = false;
    static constexpr wl_registry_listener listener{
        [](void* data, wl_registry*, std::uint32_t, const char* name, std::uint32_t) {
            *static_cast<bool*>(data) |= std::strcmp(name, "wl_output") == 0;
        },
        [](void*, wl_registry*, std::uint32_t) {}};
    wl_registry* registry = wl_display_get_registry(d);
    wl_registry_add_listener(registry, &listener, &found);
    // Not wl_display_roundtrip(): a shell that accepted the connection but whose main loop is
    // stuck (seen under a loaded machine) would hold this wait, and the whole test, for ever.
    // One second per look; the caller looks again until its own deadline.
    wl_callback* done = wl_display_sync(d);
    bool answered = false;
    static constexpr wl_callback_listener doneListener{
        [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback_add_listener(done, &doneListener, &answered);
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        while (wl_display_prepare_read(d) != 0) {
            wl_display_dispatch_pending(d);
        }
        wl_display_flush(d);
        pollfd p{wl_display_get_fd(d), POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            if (wl_display_read_events(d) < 0) {
                break;
            }
        } else {
            wl_display_cancel_read(d);
        }
        if (wl_display_dispatch_pending(d) < 0) {
            break;
        }
    }
    wl_callback_destroy(done);
    wl_registry_destroy(registry);
    wl_display_disconnect(d);
    return answered && found;
}

} // namespace

GnomeShellServer::GnomeShellServer() : GnomeShellServer(Options{}) {}

GnomeShellServer::GnomeShellServer(Options options) : options_(options) {
    dir_ = std::make_unique<TempDir>();
    sessionBus_ = std::make_unique<DbusFixture>(DbusFixture::Kind::session);
    systemBus_ = std::make_unique<DbusFixture>(DbusFixture::Kind::system);
    const std::string base = dir_->path();
    for (const char* sub : {"/runtime", "/config", "/data", "/home", "/cache"}) {
        fs::create_directories(base + sub);
    }
    fs::permissions(base + "/runtime", fs::perms::owner_all, fs::perm_options::replace);

    const std::map<std::string, std::optional<std::string>> env = {
        {"XDG_RUNTIME_DIR", base + "/runtime"},
        {"HOME", base + "/home"},
        {"XDG_CONFIG_HOME", base + "/config"},
        {"XDG_DATA_HOME", base + "/data"},
        {"XDG_CACHE_HOME", base + "/cache"},
        {"DBUS_SESSION_BUS_ADDRESS", sessionBus_->address()},
        {"DBUS_SYSTEM_BUS_ADDRESS", systemBus_->address()},
        {"GSETTINGS_BACKEND", "memory"},
        {"DISPLAY", std::nullopt},
        {"WAYLAND_DISPLAY", std::nullopt},
        {"XDG_SESSION_TYPE", std::nullopt},
        {"XDG_CURRENT_DESKTOP", "GNOME"},
        // ASan's preload from the test's environment must not reach the children.
        {"LD_PRELOAD", std::nullopt},
    };

    ChildProcess::Options logind;
    logind.argv = {"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"};
    logind.env = env;
    logind.outputFile = base + "/logind.log";
    logind_ = std::make_unique<ChildProcess>(logind);
    if (!waitUntil([&] { return hasOwner(systemBus_->address(), "org.freedesktop.login1"); },
                   20s)) {
        throw std::runtime_error("the stand-in logind did not start:\n" + logind_->output());
    }

    if (options_.pipewire) {
        ChildProcess::Options pw;
        pw.argv = {"pipewire"};
        pw.env = env;
        pw.outputFile = base + "/pipewire.log";
        pipewire_ = std::make_unique<ChildProcess>(pw);
        if (!waitUntil([&] { return fs::exists(base + "/runtime/pipewire-0"); }, 10s)) {
            throw std::runtime_error("PipeWire did not start:\n" + pipewire_->output());
        }
    }

    ChildProcess::Options o;
    o.argv = {"gnome-shell",
              "--wayland",
              "--headless",
              "--no-x11",
              "--wayland-display",
              "wayland-quillon",
              "--virtual-monitor",
              std::to_string(options_.width) + "x" + std::to_string(options_.height)};
    o.env = env;
    display_ = base + "/runtime/wayland-quillon";
    // A shell that has not finished starting after half a minute is started again: now and
    // then, on a loaded machine, the shell's start-up stalls after its last message and never
    // says it started, while a fresh one starts in seconds.
    constexpr int kAttempts = 3;
    std::string logs;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        o.outputFile = base + "/gnome-shell-" + std::to_string(attempt) + ".log";
        shell_ = std::make_unique<ChildProcess>(o);
        const bool up = waitUntil(
            [&] {
                // Started: the remote desktop is on the bus and the shell's UI is up (its
                // output is announced and the shell said so).
                return !shell_->running() ||
                       (hasOwner(sessionBus_->address(), "org.gnome.Mutter.RemoteDesktop") &&
                        announcesOutput(display_) &&
                        shell_->output().find("GNOME Shell started") != std::string::npos);
            },
            30s);
        if (up && shell_->running()) {
            return;
        }
        logs += "--- start " + std::to_string(attempt) + ":\n" + shell_->output();
        stop();
    }
    throw std::runtime_error("headless GNOME Shell did not start:\n" + logs);
}

GnomeShellServer::~GnomeShellServer() {
    stop();
    if (pipewire_) {
        pipewire_->stop();
    }
    if (logind_) {
        logind_->stop();
    }
}

void GnomeShellServer::stop() {
    if (shell_) {
        shell_->stop();
    }
}

struct GnomeClipboardPeer::Impl {
    std::mutex mutex;
    sd_bus* bus = nullptr;
    sd_bus_slot* transferSlot = nullptr;
    std::string session;
    std::string text;
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stopping{false};
    std::thread loop;

    static int onTransfer(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<Impl*>(data);
        const char* mime = nullptr;
        std::uint32_t serial = 0;
        if (sd_bus_message_read(m, "su", &mime, &serial) < 0) {
            return 0;
        }
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int fd = -1;
        bool ok = false;
        if (sd_bus_call_method(self->bus, "org.gnome.Mutter.RemoteDesktop", self->session.c_str(),
                               "org.gnome.Mutter.RemoteDesktop.Session", "SelectionWrite", &error,
                               &reply, "u", serial) >= 0 &&
            sd_bus_message_read(reply, "h", &fd) >= 0) {
            ok = ::write(fd, self->text.data(), self->text.size()) ==
                 static_cast<ssize_t>(self->text.size());
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        sd_bus_call_method(self->bus, "org.gnome.Mutter.RemoteDesktop", self->session.c_str(),
                           "org.gnome.Mutter.RemoteDesktop.Session", "SelectionWriteDone", nullptr,
                           nullptr, "ub", serial, int(ok));
        return 0;
    }

    void run() {
        while (!stopping) {
            int fd = -1;
            short events = 0;
            {
                std::lock_guard lock(mutex);
                while (sd_bus_process(bus, nullptr) > 0) {
                }
                sd_bus_flush(bus);
                fd = sd_bus_get_fd(bus);
                events = static_cast<short>(sd_bus_get_events(bus));
            }
            pollfd p[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
            ::poll(p, 2, 200);
            std::uint64_t drained = 0;
            [[maybe_unused]] const auto n = ::read(wakeFd, &drained, sizeof drained);
        }
    }
};

GnomeClipboardPeer::GnomeClipboardPeer(const std::string& busAddress)
    : impl_(std::make_unique<Impl>()) {
    sd_bus*& bus = impl_->bus;
    sd_bus_message* reply = nullptr;
    const char* path = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, busAddress.c_str()) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
        sd_bus_call_method(bus, "org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                           "org.gnome.Mutter.RemoteDesktop", "CreateSession", nullptr, &reply,
                           "") < 0 ||
        sd_bus_message_read(reply, "o", &path) < 0) {
        sd_bus_message_unref(reply);
        throw std::runtime_error("the clipboard peer cannot make a remote desktop session");
    }
    impl_->session = path;
    sd_bus_message_unref(reply);
    const char* s = impl_->session.c_str();
    const char* iface = "org.gnome.Mutter.RemoteDesktop.Session";
    if (sd_bus_call_method(bus, "org.gnome.Mutter.RemoteDesktop", s, iface, "Start", nullptr,
                           nullptr, "") < 0 ||
        sd_bus_call_method(bus, "org.gnome.Mutter.RemoteDesktop", s, iface, "EnableClipboard",
                           nullptr, nullptr, "a{sv}", 0) < 0) {
        throw std::runtime_error("the clipboard peer's session does not start");
    }
    sd_bus_match_signal(bus, &impl_->transferSlot, "org.gnome.Mutter.RemoteDesktop", s, iface,
                        "SelectionTransfer", Impl::onTransfer, impl_.get());
    impl_->loop = std::thread([this] { impl_->run(); });
}

GnomeClipboardPeer::~GnomeClipboardPeer() {
    impl_->stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(impl_->wakeFd, &one, sizeof one);
    impl_->loop.join();
    sd_bus_call_method(impl_->bus, "org.gnome.Mutter.RemoteDesktop", impl_->session.c_str(),
                       "org.gnome.Mutter.RemoteDesktop.Session", "Stop", nullptr, nullptr, "");
    sd_bus_slot_unref(impl_->transferSlot);
    sd_bus_flush_close_unref(impl_->bus);
    ::close(impl_->wakeFd);
}

void GnomeClipboardPeer::own(const std::string& text) {
    std::lock_guard lock(impl_->mutex);
    impl_->text = text;
    sd_bus_message* m = nullptr;
    sd_bus_message_new_method_call(impl_->bus, &m, "org.gnome.Mutter.RemoteDesktop",
                                   impl_->session.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
                                   "SetSelection");
    sd_bus_message_append(m, "a{sv}", 1, "mime-types", "as", 1, "text/plain;charset=utf-8");
    const int r = sd_bus_call(impl_->bus, m, 0, nullptr, nullptr);
    sd_bus_message_unref(m);
    if (r < 0) {
        throw std::runtime_error("the clipboard peer cannot own the selection");
    }
}

std::optional<std::string> GnomeClipboardPeer::read() {
    int fd = -1;
    {
        std::lock_guard lock(impl_->mutex);
        sd_bus_message* reply = nullptr;
        int got = -1;
        if (sd_bus_call_method(impl_->bus, "org.gnome.Mutter.RemoteDesktop", impl_->session.c_str(),
                               "org.gnome.Mutter.RemoteDesktop.Session", "SelectionRead", nullptr,
                               &reply, "s", "text/plain;charset=utf-8") >= 0 &&
            sd_bus_message_read(reply, "h", &got) >= 0) {
            fd = ::fcntl(got, F_DUPFD_CLOEXEC, 3);
        }
        sd_bus_message_unref(reply);
    }
    if (fd < 0) {
        return std::nullopt;
    }
    // Read outside the lock: the owner may be answering through this peer's own thread.
    std::string out;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) {
            ::close(fd);
            return std::nullopt;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return out;
}

} // namespace quillon::testing
