#include "Platform/Input/KdeFakeInputBackend.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Input/Clipboard/DataControlClipboard.hpp"
#include "Platform/Input/LayoutText.hpp"
#include "Platform/Input/Wayland/WaylandClient.hpp"
#include "Platform/Input/Wayland/XkbLayoutIndex.hpp"

#include "Platform/Locale/Translation.hpp"
#include "fake-input-client-protocol.h"
#include <systemd/sd-bus.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>

namespace quillon::platform {

namespace {

constexpr int kLeftCtrl = 29;  // KEY_LEFTCTRL
constexpr int kLeftShift = 42; // KEY_LEFTSHIFT
constexpr double kWheelValuePerClick = 15.0;

// A connection to KWin's bus for one call: desktop verbs are rare.
class KwinBus {
public:
    explicit KwinBus(const std::string& address) {
        if (address.empty()) {
            ok_ = sd_bus_open_user(&bus_) >= 0;
            return;
        }
        ok_ = sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
              sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0;
    }
    ~KwinBus() { sd_bus_flush_close_unref(bus_); }
    KwinBus(const KwinBus&) = delete;
    KwinBus& operator=(const KwinBus&) = delete;

    std::optional<int> currentDesktop() {
        int value = 0;
        if (!call("/KWin", "org.kde.KWin", "currentDesktop", "i", &value)) {
            return std::nullopt;
        }
        return value;
    }
    std::optional<unsigned> desktopCount() {
        if (!ok_) {
            return std::nullopt;
        }
        std::uint32_t count = 0;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r = sd_bus_get_property_trivial(bus_, "org.kde.KWin", "/VirtualDesktopManager",
                                                  "org.kde.KWin.VirtualDesktopManager", "count",
                                                  &error, 'u', &count);
        sd_bus_error_free(&error);
        return r >= 0 ? std::optional<unsigned>(count) : std::nullopt;
    }
    std::optional<bool> showingDesktop() {
        if (!ok_) {
            return std::nullopt;
        }
        int showing = 0;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r = sd_bus_get_property_trivial(bus_, "org.kde.KWin", "/KWin", "org.kde.KWin",
                                                  "showingDesktop", &error, 'b', &showing);
        sd_bus_error_free(&error);
        return r >= 0 ? std::optional<bool>(showing != 0) : std::nullopt;
    }
    bool setCurrentDesktop(int desktop) {
        int done = 0;
        return callWith("/KWin", "org.kde.KWin", "setCurrentDesktop", "i", desktop, "b", &done) &&
               done != 0;
    }
    bool showDesktop(bool showing) {
        return callWith("/KWin", "org.kde.KWin", "showDesktop", "b", int(showing), nullptr,
                        nullptr);
    }

private:
    template <typename Out>
    bool call(const char* path, const char* iface, const char* member, const char* outSig,
              Out* out) {
        if (!ok_) {
            return false;
        }
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        bool ok = sd_bus_call_method(bus_, "org.kde.KWin", path, iface, member, &error, &reply,
                                     "") >= 0 &&
                  sd_bus_message_read(reply, outSig, out) >= 0;
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return ok;
    }
    bool callWith(const char* path, const char* iface, const char* member, const char* inSig,
                  int in, const char* outSig, int* out) {
        if (!ok_) {
            return false;
        }
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        bool ok = sd_bus_call_method(bus_, "org.kde.KWin", path, iface, member, &error, &reply,
                                     inSig, in) >= 0;
        if (ok && outSig != nullptr) {
            ok = sd_bus_message_read(reply, outSig, out) >= 0;
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return ok;
    }

    sd_bus* bus_ = nullptr;
    bool ok_ = false;
};

} // namespace

struct KdeFakeInputBackend::Impl {
    Options options;
    wayland::Client client;
    wayland::Reconnect reconnect{options.reconnectInterval};

    org_kde_kwin_fake_input* fake = nullptr;
    // Text the layout lacks goes through the clipboard; null when KWin offers none.
    std::unique_ptr<DataControlClipboard> clipboard;

    LayoutIndex layout;
    std::vector<KeyPlace> textKeys; // typeText's keys, kept so that typing allocates nothing

    std::atomic<std::uint64_t> connections{0};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> pastes{0};
    mutable std::mutex reasonMutex;
    std::string reason = i18n::tr("not connected to KWin yet");

    explicit Impl(Options o)
        : options(std::move(o)),
          client({.display = options.display,
                  .global = [this](std::uint32_t name, std::string_view interface,
                                   std::uint32_t version) { global(name, interface, version); }}) {}
    ~Impl() { disconnect(); }

    void setReason(std::string r) {
        std::lock_guard lock(reasonMutex);
        reason = std::move(r);
    }

    std::string where() const { return client.where(); }

    void disconnect() {
        clipboard.reset();
        if (fake != nullptr) {
            org_kde_kwin_fake_input_destroy(fake);
        }
        client.disconnect();
        fake = nullptr;
    }

    // Every few verbs (and every character of text) what is queued goes to the compositor;
    // while it does not read, verbs are dropped (and counted) instead of the connection.
    bool room(bool force = false) { return client.room(force); }

    bool connected() const { return client.connected(); }

    bool ready() {
        if (connected()) {
            return room();
        }
        if (client.display() != nullptr) {
            disconnect();
            setReason(i18n::fill(i18n::tr("lost the connection to KWin at {1}"), {where()}));
        }
        return reconnect.due(std::chrono::steady_clock::now()) && connect();
    }

    bool connect() {
        if (!client.connect(1)) {
            setReason(
                i18n::fill(i18n::tr("cannot connect to the Wayland compositor at {1}"), {where()}));
            return false;
        }
        if (fake == nullptr) {
            disconnect();
            char exe[4096] = {};
            const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
            setReason(i18n::fill(
                i18n::tr("KWin at {1} does not offer org_kde_kwin_fake_input to this program: "
                         "install a desktop entry whose Exec is {2} with "
                         "X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input, then log in again"),
                {where(), n > 0 ? std::string(exe, static_cast<std::size_t>(n))
                                : i18n::tr("this program")}));
            return false;
        }
        org_kde_kwin_fake_input_authenticate(fake, "Quillon",
                                             "Pointer and keyboard of a paired iPad");
        client.roundtrip(); // the seat's capabilities
        readLayout();
        if (!connected()) {
            disconnect();
            setReason(i18n::fill(i18n::tr("KWin at {1} refused fake input"), {where()}));
            return false;
        }
        clipboard = std::make_unique<DataControlClipboard>(DataControlClipboard::Options{
            .display = options.display,
            .timing = {.hold = options.pasteHold, .timeout = options.pasteTimeout}});
        if (!clipboard->available()) {
            DiagLog::write("KDE: characters the keyboard layout lacks cannot be typed: " +
                           clipboard->reason());
            clipboard.reset();
        }
        ++connections;
        setReason({});
        return true;
    }

    // KWin's keymap, read from the seat's keyboard: the layout keys are typed on.
    void readLayout() { layout = indexKeymapText(client.seatKeymap()); }

    void sendKey(int code, bool down) {
        org_kde_kwin_fake_input_keyboard_key(fake, static_cast<std::uint32_t>(code),
                                             down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                                  : WL_KEYBOARD_KEY_STATE_RELEASED);
    }

    void key(int code, bool down) { sendKey(code, down); }

    void typeText(std::u32string_view text) {
        // Fake input types only what KWin's layout has: a text with anything else goes whole
        // through the clipboard (keeping its order), when KWin lets us set it.
        const std::size_t missing = keysForText(text, layout, textKeys);
        if (missing > 0 && clipboard && clipboard->available() &&
            clipboard->offerPaste(utf8(text))) {
            ++pastes;
            tapPaste();
            return;
        }
        dropped += missing; // no clipboard to carry them
        if (clipboard && !textKeys.empty()) {
            clipboard->awaitPasteRead(); // an earlier run's paste comes first
        }
        for (const auto& k : textKeys) {
            if (k.shift) {
                sendKey(kLeftShift, true);
            }
            sendKey(k.code, true);
            sendKey(k.code, false);
            if (k.shift) {
                sendKey(kLeftShift, false);
            }
            room();
        }
    }

    // Control+V, with V where the layout has it.
    void tapPaste() {
        const int code = pasteKey(layout);
        sendKey(kLeftCtrl, true);
        sendKey(code, true);
        sendKey(code, false);
        sendKey(kLeftCtrl, false);
        room(true);
    }

    void button(int code, bool down) {
        org_kde_kwin_fake_input_button(fake, static_cast<std::uint32_t>(code),
                                       down ? WL_POINTER_BUTTON_STATE_PRESSED
                                            : WL_POINTER_BUTTON_STATE_RELEASED);
    }

    void wheel(int vertical, int horizontal) {
        // Wayland's vertical axis grows towards the user; ours is evdev's.
        if (vertical != 0) {
            org_kde_kwin_fake_input_axis(
                fake, WL_POINTER_AXIS_VERTICAL_SCROLL,
                wl_fixed_from_double(-vertical * kWheelValuePerClick / kWheelUnitsPerClick));
        }
        if (horizontal != 0) {
            org_kde_kwin_fake_input_axis(
                fake, WL_POINTER_AXIS_HORIZONTAL_SCROLL,
                wl_fixed_from_double(horizontal * kWheelValuePerClick / kWheelUnitsPerClick));
        }
    }

    void flush() {
        if (client.display() == nullptr) {
            return;
        }
        if (!client.pump()) {
            disconnect();
            setReason(i18n::fill(i18n::tr("lost the connection to KWin at {1}"), {where()}));
        }
    }

    void global(std::uint32_t name, std::string_view interface, std::uint32_t version) {
        // Version 4 brings keys; older KWin (before Plasma 5.19) is too old for us.
        if (interface == org_kde_kwin_fake_input_interface.name && version >= 4) {
            fake = static_cast<org_kde_kwin_fake_input*>(
                client.bind(name, &org_kde_kwin_fake_input_interface, 4));
        }
    }
};

KdeFakeInputBackend::KdeFakeInputBackend(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->reconnect.due(std::chrono::steady_clock::now());
    impl_->connect();
}

KdeFakeInputBackend::~KdeFakeInputBackend() {
    if (impl_->connected()) {
        impl_->flush();
    }
}

InputPermission KdeFakeInputBackend::permission() const {
    std::lock_guard lock(impl_->reasonMutex);
    return {impl_->reason.empty(), impl_->reason};
}

std::uint64_t KdeFakeInputBackend::connections() const {
    return impl_->connections.load();
}

std::uint64_t KdeFakeInputBackend::dropped() const {
    return impl_->dropped.load();
}

std::uint64_t KdeFakeInputBackend::pastes() const {
    return impl_->pastes.load();
}

void KdeFakeInputBackend::movePointerTo(Point to) {
    const auto geometry = impl_->options.geometry ? impl_->options.geometry->state()
                                                  : WaylandDisplayGeometry::State{};
    if (!impl_->ready() || !geometry.connected || geometry.area.width <= 0) {
        ++impl_->dropped;
        return;
    }
    const auto inside = [](double v, double size) {
        return std::isfinite(v) ? std::clamp(v, 0.0, std::max(0.0, size - 1)) : 0.0;
    };
    org_kde_kwin_fake_input_pointer_motion_absolute(
        impl_->fake, wl_fixed_from_double(geometry.area.x + inside(to.x, geometry.area.width)),
        wl_fixed_from_double(geometry.area.y + inside(to.y, geometry.area.height)));
}

void KdeFakeInputBackend::movePointerBy(double dx, double dy) {
    if (!impl_->ready() || !std::isfinite(dx) || !std::isfinite(dy)) {
        ++impl_->dropped;
        return;
    }
    org_kde_kwin_fake_input_pointer_motion(impl_->fake, wl_fixed_from_double(dx),
                                           wl_fixed_from_double(dy));
}

void KdeFakeInputBackend::button(int button, bool down) {
    if (!impl_->ready()) {
        ++impl_->dropped;
        return;
    }
    impl_->button(button, down);
}

void KdeFakeInputBackend::key(int evdevCode, bool down) {
    if (!impl_->ready() || evdevCode <= 0 || evdevCode > 0xffff) {
        ++impl_->dropped;
        return;
    }
    impl_->key(evdevCode, down);
}

void KdeFakeInputBackend::typeText(std::u32string_view text) {
    if (!impl_->ready()) {
        ++impl_->dropped;
        return;
    }
    impl_->typeText(text);
}

void KdeFakeInputBackend::wheel(int vertical, int horizontal) {
    if (!impl_->ready()) {
        ++impl_->dropped;
        return;
    }
    impl_->wheel(vertical, horizontal);
}

std::optional<KeyPlace> KdeFakeInputBackend::keyForKeysym(std::uint32_t keysym) {
    if (!impl_->connected() && !impl_->ready()) {
        return std::nullopt;
    }
    return keyPlaceOf(impl_->layout, keysym);
}

bool KdeFakeInputBackend::desktopAction(DesktopAction action) {
    KwinBus bus(impl_->options.busAddress);
    if (action == DesktopAction::toggleShowDesktop) {
        const auto showing = bus.showingDesktop();
        if (!showing || !bus.showDesktop(!*showing)) {
            ++impl_->dropped;
        }
        return true;
    }
    const auto current = bus.currentDesktop();
    const auto count = bus.desktopCount();
    if (!current || !count) {
        ++impl_->dropped;
        return true;
    }
    const int target = *current + (action == DesktopAction::workspaceRight ? 1 : -1);
    if (target < 1 || target > static_cast<int>(*count)) {
        return true; // the first or last desktop: no wrap-around
    }
    if (!bus.setCurrentDesktop(target)) {
        ++impl_->dropped;
    }
    return true;
}

void KdeFakeInputBackend::flush() {
    impl_->flush();
}

void KdeFakeInputBackend::sync() {
    impl_->flush();
    if (impl_->connected()) {
        impl_->client.roundtrip();
        impl_->flush();
    }
}

} // namespace quillon::platform
