#include "Platform/Input/GnomeRemoteDesktopBackend.hpp"

#include "Platform/Input/Clipboard/PastePolicy.hpp"

#include "Platform/Input/LayoutText.hpp"
#include "Platform/Input/Wayland/WaylandClient.hpp"
#include "Platform/Input/Wayland/XkbLayoutIndex.hpp"
#include "Platform/Locale/Translation.hpp"

#include <systemd/sd-bus.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace quillon::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";

constexpr int kLeftCtrl = 29; // KEY_LEFTCTRL
constexpr int kLeftMeta = 125;
constexpr int kPageUp = 104, kPageDown = 109;
constexpr std::uint32_t kKeysymV = 0x76;
// Mutter's smooth scroll distance of one wheel click.
constexpr double kAxisPerClick = 10.0;
// NotifyPointerAxis's source "continuous": a smooth value as it is (the "wheel" source turns
// any value into a whole emulated click).
constexpr std::uint32_t kAxisSourceContinuous = 1u << 3;

// Where the session stands; verbs go out only in `started`.
enum class Link { connecting, started, lost };

// Who owns the clipboard from our side, and what we answer when it is read.
using clipboard::PastePolicy;

} // namespace

struct GnomeRemoteDesktopBackend::Impl {
    Options options;

    // Everything below is guarded by `mutex`: the caller's verbs and the bus thread share it.
    mutable std::mutex mutex;
    sd_bus* bus = nullptr;
    sd_bus_slot* ownerSlot = nullptr;
    sd_bus_slot* closedSlot = nullptr;
    sd_bus_slot* transferSlot = nullptr;
    sd_bus_slot* ownerChangedSlot = nullptr;
    Link link = Link::connecting;
    std::string sessionPath;
    std::string screenCastPath;
    std::string streamPath;
    Rect stream;            // the recorded monitor: position in layout points, size in pixels
    std::string streamName; // its connector ("DP-1"), as xdg_output names it too
    PointerMode mode = PointerMode::absolute;
    std::optional<Point> lastPoint; // where we put the pointer last: relative moves start there
    std::string reason = i18n::tr("not connected to GNOME Shell yet");

    LayoutIndex layout;

    bool clipboardEnabled = false; // EnableClipboard sent on this session
    // The user's clipboard, read on this backend's bus thread whenever someone else's
    // selection appears, so a paste never waits for an application to hand it over.
    clipboard::UsersClipboard users;
    std::vector<std::string> foreignTypes; // what the current owner offers
    std::condition_variable_any usersRead;
    PastePolicy policy{{.hold = options.pasteHold, .timeout = options.pasteTimeout}};
    clipboard::Limits limits;
    // SetSelection calls whose "now yours" has not come back yet: an owner change saying "not
    // yours" before it was sent before our call took effect, and means nothing.
    int awaitingOwnership = 0;

    Clock::time_point lastAttempt{};
    std::atomic<std::uint64_t> connections{0};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> pastes{0};

    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stopping{false};
    std::thread loop;

    explicit Impl(Options o) : options(std::move(o)) {}

    ~Impl() {
        stopping = true;
        wake();
        if (loop.joinable()) {
            loop.join();
        }
        std::lock_guard lock(mutex);
        closeSession();
        ::close(wakeFd);
    }

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
    }

    // --- bus plumbing (mutex held) ---

    bool openBus() {
        const bool open = options.busAddress.empty()
                              ? sd_bus_open_user(&bus) >= 0
                              : sd_bus_new(&bus) >= 0 &&
                                    sd_bus_set_address(bus, options.busAddress.c_str()) >= 0 &&
                                    sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0;
        // Calls are made with the input path waiting: a shell that hangs must not stall it
        // for sd-bus's default 25 seconds.
        return open && sd_bus_set_method_call_timeout(bus, 2'000'000) >= 0;
    }

    void closeSession() {
        if (bus != nullptr && link == Link::started) {
            sendTo(kRemoteDesktop, sessionPath, kRemoteDesktopSession, "Stop", "");
            sd_bus_flush(bus);
        }
        for (sd_bus_slot** s : {&ownerSlot, &closedSlot, &transferSlot, &ownerChangedSlot}) {
            *s = sd_bus_slot_unref(*s);
        }
        if (bus != nullptr) {
            sd_bus_flush_close_unref(bus);
        }
        bus = nullptr;
        link = Link::lost;
        clipboardEnabled = false;
        policy.someoneCopied(); // the session's selection went with it
        awaitingOwnership = 0;
        lastPoint.reset();
    }

    template <typename... Args>
    void sendTo(const char* destination, const std::string& path, const char* interface,
                const char* member, const char* signature, Args... args) {
        sd_bus_message* m = nullptr;
        if (sd_bus_message_new_method_call(bus, &m, destination, path.c_str(), interface, member) >=
                0 &&
            sd_bus_message_append(m, signature, args...) >= 0 &&
            sd_bus_message_set_expect_reply(m, 0) >= 0) {
            sd_bus_send(bus, m, nullptr);
        }
        sd_bus_message_unref(m);
    }
    // A verb of the remote desktop session: no reply awaited (a refused verb shows as the
    // session closing).
    template <typename... Args>
    void send(const char* interface, const char* member, const char* signature, Args... args) {
        sendTo(kRemoteDesktop, sessionPath, interface, member, signature, args...);
    }

    // A call whose reply we need; false (and `error` set) on failure.
    template <typename... Args>
    bool call(const char* destination, const std::string& path, const char* interface,
              const char* member, sd_bus_message** reply, std::string* error, const char* signature,
              Args... args) {
        sd_bus_error e = SD_BUS_ERROR_NULL;
        const int r = sd_bus_call_method(bus, destination, path.c_str(), interface, member, &e,
                                         reply, signature, args...);
        if (r < 0 && error != nullptr) {
            *error = e.message != nullptr ? e.message : std::strerror(-r);
        }
        sd_bus_error_free(&e);
        return r >= 0;
    }

    // Sends a prepared call whose reply is one object path.
    std::optional<std::string> callForPath(sd_bus_message* args, std::string* error) {
        sd_bus_message* reply = nullptr;
        sd_bus_error e = SD_BUS_ERROR_NULL;
        std::optional<std::string> out;
        const int r = args != nullptr ? sd_bus_call(bus, args, 0, &e, &reply) : -ENOMEM;
        const char* p = nullptr;
        if (r >= 0 && sd_bus_message_read(reply, "o", &p) >= 0 && p != nullptr) {
            out = p;
        } else {
            *error = e.message != nullptr ? e.message : std::strerror(r < 0 ? -r : EBADMSG);
        }
        sd_bus_error_free(&e);
        sd_bus_message_unref(reply);
        return out;
    }

    sd_bus_message* newCall(const char* destination, const std::string& path, const char* interface,
                            const char* member) {
        sd_bus_message* m = nullptr;
        sd_bus_message_new_method_call(bus, &m, destination, path.c_str(), interface, member);
        return m;
    }

    // --- connecting ---

    // Makes the remote desktop session (linked to a screen cast of the primary monitor when
    // `withStream`) and starts it; on failure says why in `error`.
    bool startSession(bool withStream, std::string* error) {
        sessionPath.clear();
        screenCastPath.clear();
        streamPath.clear();
        sd_bus_message* m = newCall(kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop",
                                    kRemoteDesktop, "CreateSession");
        auto path = callForPath(m, error);
        sd_bus_message_unref(m);
        if (!path) {
            return false;
        }
        sessionPath = *path;
        if (withStream) {
            char* id = nullptr;
            sd_bus_error e = SD_BUS_ERROR_NULL;
            const int r = sd_bus_get_property_string(bus, kRemoteDesktop, sessionPath.c_str(),
                                                     kRemoteDesktopSession, "SessionId", &e, &id);
            sd_bus_error_free(&e);
            if (r < 0 || id == nullptr) {
                *error = "the remote desktop session has no id";
                std::free(id);
                return false;
            }
            m = newCall(kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession");
            sd_bus_message_append(m, "a{sv}", 1, "remote-desktop-session-id", "s", id);
            std::free(id);
            path = callForPath(m, error);
            sd_bus_message_unref(m);
            if (!path) {
                return false;
            }
            screenCastPath = *path;
            // The empty connector records the primary monitor.
            m = newCall(kScreenCast, screenCastPath, "org.gnome.Mutter.ScreenCast.Session",
                        "RecordMonitor");
            sd_bus_message_append(m, "sa{sv}", "", 0);
            path = callForPath(m, error);
            sd_bus_message_unref(m);
            if (!path) {
                return false;
            }
            streamPath = *path;
        }
        if (!call(kRemoteDesktop, sessionPath, kRemoteDesktopSession, "Start", nullptr, error,
                  "")) {
            sendTo(kRemoteDesktop, sessionPath, kRemoteDesktopSession, "Stop", "");
            return false;
        }
        if (withStream && !readStreamRect()) {
            *error = "the screen cast stream has no position and size";
            sendTo(kRemoteDesktop, sessionPath, kRemoteDesktopSession, "Stop", "");
            return false;
        }
        return true;
    }

    // The stream's Parameters: {"position": (ii), "size": (ii), ...}.
    bool readStreamRect() {
        sd_bus_message* reply = nullptr;
        sd_bus_error e = SD_BUS_ERROR_NULL;
        bool havePos = false, haveSize = false;
        streamName.clear();
        if (sd_bus_get_property(bus, kScreenCast, streamPath.c_str(),
                                "org.gnome.Mutter.ScreenCast.Stream", "Parameters", &e, &reply,
                                "a{sv}") >= 0 &&
            sd_bus_message_enter_container(reply, 'a', "{sv}") > 0) {
            while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
                const char* key = nullptr;
                sd_bus_message_read(reply, "s", &key);
                const std::string k = key != nullptr ? key : "";
                if (k == "output-name") {
                    const char* name = nullptr;
                    if (sd_bus_message_read(reply, "v", "s", &name) >= 0 && name != nullptr) {
                        streamName = name;
                    }
                } else if (k == "position" || k == "size") {
                    int a = 0, b = 0;
                    if (sd_bus_message_read(reply, "v", "(ii)", &a, &b) >= 0) {
                        if (k == "position") {
                            stream.x = a;
                            stream.y = b;
                            havePos = true;
                        } else {
                            stream.width = a;
                            stream.height = b;
                            haveSize = a > 0 && b > 0;
                        }
                    }
                } else {
                    sd_bus_message_skip(reply, "v");
                }
                sd_bus_message_exit_container(reply);
            }
        }
        sd_bus_error_free(&e);
        sd_bus_message_unref(reply);
        return havePos && haveSize;
    }

    bool connect() {
        if (!openBus()) {
            bus = sd_bus_unref(bus);
            reason = i18n::tr("cannot connect to the session bus");
            link = Link::lost;
            return false;
        }
        sd_bus_match_signal(bus, &ownerSlot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "NameOwnerChanged", onOwnerChanged, this);
        std::string error;
        mode = PointerMode::absolute;
        bool ok = startSession(true, &error);
        if (!ok && !sessionPath.empty()) {
            // Most often no PipeWire for the stream: the relative route needs none.
            const std::string streamError = error;
            mode = PointerMode::relativeFromCorner;
            ok = startSession(false, &error);
            if (!ok) {
                error = streamError + "; " + error;
            }
        }
        if (!ok) {
            closeSession();
            reason = i18n::fill(
                i18n::tr("GNOME Shell's remote desktop on the session bus refused a session: {1}"),
                {error});
            return false;
        }
        sd_bus_match_signal(bus, &closedSlot, kRemoteDesktop, sessionPath.c_str(),
                            kRemoteDesktopSession, "Closed", onClosed, this);
        sd_bus_match_signal(bus, &transferSlot, kRemoteDesktop, sessionPath.c_str(),
                            kRemoteDesktopSession, "SelectionTransfer", onTransfer, this);
        sd_bus_match_signal(bus, &ownerChangedSlot, kRemoteDesktop, sessionPath.c_str(),
                            kRemoteDesktopSession, "SelectionOwnerChanged", onSelectionOwner, this);
        link = Link::started;
        ++connections;
        // The clipboard is followed from the start: the selection there is now is read in the
        // background like every later one.
        send(kRemoteDesktopSession, "EnableClipboard", "a{sv}", 0);
        clipboardEnabled = true;
        foreignTypes.assign(std::begin(clipboard::kTextTypes), std::end(clipboard::kTextTypes));
        users.selectionChanged();
        reason.clear();
        readLayout();
        wake();
        return true;
    }

    // The keymap the compositor gives Wayland clients: what the keysym route can type.
    void readLayout() {
        wayland::Client client({.display = options.waylandDisplay});
        layout = indexKeymapText(client.connect() ? client.seatKeymap() : std::string());
    }

    // The session is gone: nothing is down any more on the compositor's side and nothing is
    // sent until a new session starts. Called from signal handlers too, so the bus itself is
    // closed later (ready(), the bus thread), never inside its own dispatch.
    void lose(std::string why) {
        if (link != Link::started) {
            return;
        }
        awaitingOwnership = 0;
        link = Link::lost;
        reason = std::move(why);
        clipboardEnabled = false;
        policy.someoneCopied(); // the session's selection went with it
        lastPoint.reset();
    }

    // Whether verbs can go out now; reconnects at most every reconnectInterval.
    bool ready() {
        if (link == Link::started) {
            return true;
        }
        const auto now = Clock::now();
        if (now - lastAttempt < options.reconnectInterval) {
            return false;
        }
        lastAttempt = now;
        closeSession();
        return connect();
    }

    // --- signals (bus thread, mutex held) ---

    static int onOwnerChanged(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<Impl*>(data);
        const char *name = nullptr, *from = nullptr, *to = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &from, &to) >= 0 && name != nullptr &&
            std::strcmp(name, kRemoteDesktop) == 0 && (to == nullptr || *to == '\0')) {
            self->lose(i18n::tr("GNOME Shell's remote desktop left the session bus (the "
                                "compositor ended or restarted)"));
        }
        return 0;
    }

    static int onClosed(sd_bus_message*, void* data, sd_bus_error*) {
        static_cast<Impl*>(data)->lose(
            i18n::tr("GNOME Shell closed the remote desktop session (the compositor stopped it)"));
        return 0;
    }

    // The variant of the "mime-types" option: Mutter sends the list as "(as)"; "as" is taken
    // too. What cannot be read leaves `types` empty.
    static void readTypes(sd_bus_message* m, std::vector<std::string>& types) {
        char kind = 0;
        const char* contents = nullptr;
        if (sd_bus_message_peek_type(m, &kind, &contents) <= 0 || contents == nullptr) {
            sd_bus_message_skip(m, "v");
            return;
        }
        const bool tuple = std::strcmp(contents, "(as)") == 0;
        if ((!tuple && std::strcmp(contents, "as") != 0) ||
            sd_bus_message_enter_container(m, 'v', contents) <= 0) {
            sd_bus_message_skip(m, "v");
            return;
        }
        if (!tuple || sd_bus_message_enter_container(m, 'r', "as") > 0) {
            char** list = nullptr;
            if (sd_bus_message_read_strv(m, &list) >= 0 && list != nullptr) {
                for (char** t = list; *t != nullptr; ++t) {
                    types.emplace_back(*t);
                    std::free(*t);
                }
                std::free(list);
            }
            if (tuple) {
                sd_bus_message_exit_container(m);
            }
        }
        sd_bus_message_exit_container(m);
    }

    static int onSelectionOwner(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<Impl*>(data);
        bool ours = false;
        std::vector<std::string> types;
        if (sd_bus_message_enter_container(m, 'a', "{sv}") > 0) {
            while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
                const char* key = nullptr;
                sd_bus_message_read(m, "s", &key);
                if (key != nullptr && std::strcmp(key, "session-is-owner") == 0) {
                    int b = 0;
                    sd_bus_message_read(m, "v", "b", &b);
                    ours = b != 0;
                } else if (key != nullptr && std::strcmp(key, "mime-types") == 0) {
                    readTypes(m, types);
                } else {
                    sd_bus_message_skip(m, "v");
                }
                sd_bus_message_exit_container(m);
            }
        }
        if (ours) {
            self->awaitingOwnership = 0;
        } else if (self->awaitingOwnership == 0 && self->clipboardEnabled) {
            // Someone copied something: that is the user's clipboard now, not ours to restore,
            // and it is read in the background.
            self->policy.someoneCopied();
            self->foreignTypes = std::move(types);
            self->users.selectionChanged();
        }
        return 0;
    }

    static int onTransfer(sd_bus_message* m, void* data, sd_bus_error*) {
        auto* self = static_cast<Impl*>(data);
        const char* mime = nullptr;
        std::uint32_t serial = 0;
        if (sd_bus_message_read(m, "su", &mime, &serial) < 0) {
            return 0;
        }
        self->serveTransfer(mime, serial);
        return 0;
    }

    void serveTransfer(const char* mime, std::uint32_t serial) {
        const std::string* content = nullptr;
        if (const clipboard::Content* offered = policy.offered()) {
            policy.pasteRead(Clock::now());
            for (const auto& [type, data] : *offered) {
                if (type == mime) {
                    content = &data;
                }
            }
        }
        bool ok = false;
        if (content != nullptr) {
            sd_bus_message* reply = nullptr;
            int fd = -1;
            if (call(kRemoteDesktop, sessionPath, kRemoteDesktopSession, "SelectionWrite", &reply,
                     nullptr, "u", serial) &&
                sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) {
                clipboard::writePipe(fd, *content,
                                     std::chrono::steady_clock::now() + std::chrono::seconds(1));
                ok = true;
            }
            sd_bus_message_unref(reply); // closes the fd
        }
        send(kRemoteDesktopSession, "SelectionWriteDone", "ub", serial, int(ok));
    }

    // The user's text back, or an empty text when there was none (PastePolicy says when).
    // Letting go of the selection would not do: Mutter's clipboard manager keeps a copy of the
    // last text and offers it once the owner leaves, so the pasted text (a password, perhaps)
    // would stay.
    void maybeRestore() {
        if (policy.restoreDue(Clock::now())) {
            policy.restore();
            offerSelection();
        }
    }

    void offerSelection() {
        sd_bus_message* m =
            newCall(kRemoteDesktop, sessionPath, kRemoteDesktopSession, "SetSelection");
        if (m == nullptr) {
            return;
        }
        sd_bus_message_open_container(m, 'a', "{sv}");
        sd_bus_message_open_container(m, 'e', "sv");
        sd_bus_message_append(m, "s", "mime-types");
        sd_bus_message_open_container(m, 'v', "as");
        sd_bus_message_open_container(m, 'a', "s");
        for (const auto& [type, data] : *policy.offered()) {
            sd_bus_message_append(m, "s", type.c_str());
        }
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_close_container(m);
        sd_bus_message_set_expect_reply(m, 0);
        if (sd_bus_send(bus, m, nullptr) >= 0) {
            ++awaitingOwnership;
        }
        sd_bus_message_unref(m);
    }

    // A foreign selection the user's clipboard has not been read from: asks Mutter for every
    // type its owner offers. Called with the lock held (the calls answer at once with a pipe);
    // the pipes are read by the bus thread without it.
    struct PendingRead {
        std::uint64_t serial = 0;
        std::vector<std::pair<std::string, int>> pipes; // type, read end
    };
    std::optional<PendingRead> startUsersRead() {
        if (link != Link::started || !clipboardEnabled || !policy.needsUsersClipboard() ||
            !users.readDue()) {
            return std::nullopt;
        }
        PendingRead read;
        read.serial = users.startRead();
        for (std::size_t i = 0; i < foreignTypes.size() && i < limits.maxTypes; ++i) {
            sd_bus_message* reply = nullptr;
            int fd = -1;
            if (call(kRemoteDesktop, sessionPath, kRemoteDesktopSession, "SelectionRead", &reply,
                     nullptr, "s", foreignTypes[i].c_str()) &&
                sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0) {
                read.pipes.emplace_back(foreignTypes[i], ::fcntl(fd, F_DUPFD_CLOEXEC, 3));
            }
            sd_bus_message_unref(reply); // closes its own fd
        }
        return read;
    }

    // Reads what the owner writes, within the limits (no lock held), then keeps it.
    void finishUsersRead(PendingRead read) {
        const auto deadline = Clock::now() + limits.readTimeout;
        std::size_t total = 0;
        clipboard::Content content;
        for (auto& [type, fd] : read.pipes) {
            if (fd < 0) {
                continue;
            }
            auto data = clipboard::readPipe(fd, deadline, limits.maxBytes - total);
            ::close(fd);
            if (data) {
                total += data->size();
                content.emplace_back(type, std::move(*data));
            }
        }
        std::lock_guard lock(mutex);
        std::optional<clipboard::Content> result;
        if (!content.empty()) {
            result = std::move(content);
        }
        const bool current = read.serial == users.serial();
        users.finishRead(read.serial, result);
        if (current) {
            policy.usersArrived(users.content()); // a paste that could not wait for it
        }
        usersRead.notify_all();
    }

    // --- verbs (caller's thread, mutex held, link started) ---

    void sendKey(int code, bool down) {
        send(kRemoteDesktopSession, "NotifyKeyboardKeycode", "ub", std::uint32_t(code), int(down));
    }
    void sendKeysym(std::uint32_t sym, bool down) {
        send(kRemoteDesktopSession, "NotifyKeyboardKeysym", "ub", sym, int(down));
    }

    void key(int code, bool down) { sendKey(code, down); }

    void button(int code, bool down) {
        send(kRemoteDesktopSession, "NotifyPointerButton", "ib", code, int(down));
    }

    void moveTo(Point to) {
        const auto geometry =
            options.geometry ? options.geometry->state() : WaylandDisplayGeometry::State{};
        Rect area = geometry.connected && geometry.area.width > 0 ? geometry.area : stream;
        if (area.width <= 0 || area.height <= 0) {
            ++dropped;
            return;
        }
        const auto inside = [](double v, double size) {
            return std::isfinite(v) ? std::clamp(v, 0.0, std::max(0.0, size - 1)) : 0.0;
        };
        const Point global{area.x + inside(to.x, area.width), area.y + inside(to.y, area.height)};
        if (mode == PointerMode::absolute) {
            // Stream coordinates are the monitor's pixels: on a scaled monitor its logical
            // extent (from the compositor's outputs) maps onto them in proportion.
            Rect logical{stream.x, stream.y, stream.width, stream.height};
            for (const auto& output : geometry.outputs) {
                if (!streamName.empty() && output.name == streamName && output.bounds.width > 0 &&
                    output.bounds.height > 0) {
                    logical = output.bounds;
                }
            }
            const bool onMonitor = global.x >= logical.x && global.x < logical.x + logical.width &&
                                   global.y >= logical.y && global.y < logical.y + logical.height;
            if (onMonitor || !lastPoint) {
                const Point p{std::clamp(global.x, logical.x, logical.x + logical.width - 1),
                              std::clamp(global.y, logical.y, logical.y + logical.height - 1)};
                send(kRemoteDesktopSession, "NotifyPointerMotionAbsolute", "sdd",
                     streamPath.c_str(), (p.x - logical.x) * stream.width / logical.width,
                     (p.y - logical.y) * stream.height / logical.height);
                lastPoint = p;
                if (onMonitor) {
                    return;
                }
            }
            // Another monitor (display=all): relative motion from the last point we put the
            // pointer on, which is known exactly.
            send(kRemoteDesktopSession, "NotifyPointerMotionRelative", "dd",
                 global.x - lastPoint->x, global.y - lastPoint->y);
            lastPoint = global;
            return;
        }
        if (!lastPoint) {
            // The anchor: far past the bottom-right, where the pointer stops at the desktop's
            // last point (the top-left would open Activities).
            const Rect desktop =
                geometry.connected && geometry.desktop.width > 0 ? geometry.desktop : area;
            send(kRemoteDesktopSession, "NotifyPointerMotionRelative", "dd", 1e5, 1e5);
            lastPoint = Point{desktop.x + desktop.width - 1, desktop.y + desktop.height - 1};
        }
        send(kRemoteDesktopSession, "NotifyPointerMotionRelative", "dd", global.x - lastPoint->x,
             global.y - lastPoint->y);
        lastPoint = global;
    }

    void moveBy(double dx, double dy) {
        send(kRemoteDesktopSession, "NotifyPointerMotionRelative", "dd", dx, dy);
        if (lastPoint) {
            const auto geometry =
                options.geometry ? options.geometry->state() : WaylandDisplayGeometry::State{};
            const Rect d =
                geometry.connected && geometry.desktop.width > 0 ? geometry.desktop : stream;
            lastPoint = Point{std::clamp(lastPoint->x + dx, d.x, d.x + d.width - 1),
                              std::clamp(lastPoint->y + dy, d.y, d.y + d.height - 1)};
        }
    }

    void wheel(int vertical, int horizontal) {
        // Whole clicks as discrete steps (Mutter adds their smooth value itself); a part of a
        // click as a smooth value of a continuous wheel. Wayland's vertical axis grows towards the
        // user; ours is evdev's.
        const auto axis = [&](std::uint32_t which, int units, int sign) {
            if (units == 0) {
                return;
            }
            if (units % kWheelUnitsPerClick == 0) {
                send(kRemoteDesktopSession, "NotifyPointerAxisDiscrete", "ui", which,
                     sign * units / kWheelUnitsPerClick);
                return;
            }
            const double value = sign * units * kAxisPerClick / kWheelUnitsPerClick;
            send(kRemoteDesktopSession, "NotifyPointerAxis", "ddu", which == 1 ? value : 0.0,
                 which == 0 ? value : 0.0, kAxisSourceContinuous);
        };
        axis(0, vertical, -1);
        axis(1, horizontal, +1);
    }

    void typeText(std::u32string_view text) {
        std::vector<xkb_keysym_t> syms;
        bool onLayout = true;
        for (const char32_t cp : text) {
            const xkb_keysym_t sym = xkb_utf32_to_keysym(static_cast<std::uint32_t>(cp));
            if (sym == XKB_KEY_NoSymbol || layout.count(sym) == 0) {
                onLayout = false;
                break;
            }
            syms.push_back(sym);
        }
        if (onLayout) {
            for (const auto sym : syms) {
                sendKeysym(sym, true);
                sendKeysym(sym, false);
            }
        } else {
            paste(utf8(text));
        }
    }

    // Called with `mutex` held (a verb).
    void paste(std::string text) {
        bool known = true;
        if (policy.needsUsersClipboard() && !users.ready()) {
            // A copy made a moment ago: the bus thread is reading it. Wait a little for it; a
            // read that takes longer still counts for the restore when it ends.
            wake();
            known = usersRead.wait_for(mutex, limits.pasteWait,
                                       [this] { return users.ready() || link != Link::started; });
        }
        std::optional<clipboard::Content> kept;
        if (policy.needsUsersClipboard() && users.ready()) {
            kept = users.content();
        }
        policy.beginPaste(text, std::move(kept), Clock::now(), known && users.ready());
        offerSelection();
        ++pastes;
        sendKey(kLeftCtrl, true);
        sendKeysym(kKeysymV, true);
        sendKeysym(kKeysymV, false);
        sendKey(kLeftCtrl, false);
        wake();
    }

    // Runs a verb under the lock when a session is started (or could be started again now);
    // otherwise counts it as dropped.
    template <typename F> void verb(F&& f) {
        std::lock_guard lock(mutex);
        if (!ready()) {
            ++dropped;
            return;
        }
        f();
    }

    // --- the bus thread ---

    void run() {
        while (!stopping) {
            int fd = -1;
            short events = 0;
            int timeoutMs = 1000;
            std::optional<PendingRead> read;
            {
                std::lock_guard lock(mutex);
                if (bus != nullptr) {
                    int r = 0;
                    while ((r = sd_bus_process(bus, nullptr)) > 0 && bus != nullptr) {
                    }
                    if (r < 0) {
                        lose(i18n::tr("lost the session bus connection to GNOME Shell"));
                        closeSession();
                    }
                }
                if (bus != nullptr) {
                    maybeRestore();
                    read = startUsersRead();
                    sd_bus_flush(bus);
                    fd = sd_bus_get_fd(bus);
                    events = static_cast<short>(sd_bus_get_events(bus));
                    std::uint64_t usec = 0;
                    if (sd_bus_get_timeout(bus, &usec) >= 0 && usec != UINT64_MAX) {
                        timeoutMs = 0; // sd-bus's timeout is absolute: a check is due soon
                    }
                    if (policy.state() == PastePolicy::State::pasting) {
                        timeoutMs = std::min(timeoutMs, 50);
                    }
                }
            }
            if (read) {
                finishUsersRead(std::move(*read));
                continue;
            }
            pollfd p[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
            ::poll(p, fd >= 0 ? 2 : 1, timeoutMs == 0 ? 10 : timeoutMs);
            std::uint64_t drained = 0;
            [[maybe_unused]] const auto n = ::read(wakeFd, &drained, sizeof drained);
        }
    }
};

GnomeRemoteDesktopBackend::GnomeRemoteDesktopBackend(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->lastAttempt = Clock::now();
        impl_->connect();
    }
    impl_->loop = std::thread([this] { impl_->run(); });
}

GnomeRemoteDesktopBackend::~GnomeRemoteDesktopBackend() = default;

InputPermission GnomeRemoteDesktopBackend::permission() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->link == Link::started, impl_->reason};
}

GnomeRemoteDesktopBackend::PointerMode GnomeRemoteDesktopBackend::mode() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->mode;
}

std::uint64_t GnomeRemoteDesktopBackend::connections() const {
    return impl_->connections.load();
}

std::uint64_t GnomeRemoteDesktopBackend::dropped() const {
    return impl_->dropped.load();
}

std::uint64_t GnomeRemoteDesktopBackend::pastes() const {
    return impl_->pastes.load();
}

void GnomeRemoteDesktopBackend::movePointerTo(Point to) {
    impl_->verb([&] { impl_->moveTo(to); });
}

void GnomeRemoteDesktopBackend::movePointerBy(double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) {
        ++impl_->dropped;
        return;
    }
    impl_->verb([&] { impl_->moveBy(dx, dy); });
}

void GnomeRemoteDesktopBackend::button(int button, bool down) {
    impl_->verb([&] { impl_->button(button, down); });
}

void GnomeRemoteDesktopBackend::key(int evdevCode, bool down) {
    if (evdevCode <= 0 || evdevCode > 0xffff) {
        ++impl_->dropped;
        return;
    }
    impl_->verb([&] { impl_->key(evdevCode, down); });
}

void GnomeRemoteDesktopBackend::typeText(std::u32string_view text) {
    if (text.empty()) {
        return;
    }
    impl_->verb([&] { impl_->typeText(text); });
}

void GnomeRemoteDesktopBackend::wheel(int vertical, int horizontal) {
    impl_->verb([&] { impl_->wheel(vertical, horizontal); });
}

std::optional<KeyPlace> GnomeRemoteDesktopBackend::keyForKeysym(std::uint32_t keysym) {
    std::lock_guard lock(impl_->mutex);
    const auto it = impl_->layout.find(keysym);
    if (it == impl_->layout.end()) {
        return std::nullopt;
    }
    return KeyPlace{static_cast<int>(it->second.keycode) - 8, it->second.shift};
}

bool GnomeRemoteDesktopBackend::desktopAction(DesktopAction action) {
    if (action == DesktopAction::toggleShowDesktop) {
        ++impl_->dropped; // GNOME Shell binds no key to it and has no D-Bus verb for it
    }
    return false;
}

std::vector<int> GnomeRemoteDesktopBackend::desktopShortcut(DesktopAction action) const {
    switch (action) {
    case DesktopAction::workspaceLeft:
        return {kLeftMeta, kPageUp};
    case DesktopAction::workspaceRight:
        return {kLeftMeta, kPageDown};
    case DesktopAction::toggleShowDesktop:
        return {};
    }
    return {};
}

void GnomeRemoteDesktopBackend::flush() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->bus != nullptr) {
        sd_bus_flush(impl_->bus);
    }
}

void GnomeRemoteDesktopBackend::sync() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->bus == nullptr || impl_->link != Link::started) {
        return;
    }
    // A property of the session, answered by Mutter's main loop after the verbs before it.
    char* id = nullptr;
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_get_property_string(impl_->bus, kRemoteDesktop, impl_->sessionPath.c_str(),
                               kRemoteDesktopSession, "SessionId", &e, &id);
    sd_bus_error_free(&e);
    std::free(id);
    impl_->wake();
}

} // namespace quillon::platform
