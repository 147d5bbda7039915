#include "Platform/Input/KdeFakeInputBackend.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Input/KdeDataControlClipboard.hpp"
#include "Platform/Input/OverviewCombination.hpp"
#include "Platform/Input/XkbLayoutIndex.hpp"
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
// The modifier keys a caller may hold (Control, Shift, Alt, AltGr, Super, both sides).
constexpr int kModifierKeys[] = {29, 97, 42, 54, 56, 100, 125, 126};

constexpr int kKeyV = 47; // KEY_V, where the layout has no "v"

std::string utf8(std::u32string_view text) {
    std::string out;
    for (const char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                continue; // a lone surrogate is no character
            }
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool isModifier(int code) {
    return std::find(std::begin(kModifierKeys), std::end(kModifierKeys), code) !=
           std::end(kModifierKeys);
}

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

    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    std::uint32_t seatCapabilities = 0;
    org_kde_kwin_fake_input* fake = nullptr;
    std::string seatKeymap;
    // Text the layout lacks goes through the clipboard; null when KWin offers none.
    std::unique_ptr<KdeDataControlClipboard> clipboard;

    xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    std::unordered_map<xkb_keysym_t, KeyPosition> layout;

    std::set<int> heldKeys;
    std::set<int> heldButtons;

    std::chrono::steady_clock::time_point lastAttempt{};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> pastes{0};
    mutable std::mutex reasonMutex;
    std::string reason = i18n::tr("not connected to KWin yet");

    explicit Impl(Options o) : options(std::move(o)) {}
    ~Impl() {
        disconnect();
        xkb_context_unref(xkb);
    }

    void setReason(std::string r) {
        std::lock_guard lock(reasonMutex);
        reason = std::move(r);
    }

    std::string where() const {
        if (!options.display.empty()) {
            return options.display;
        }
        const char* env = std::getenv("WAYLAND_DISPLAY");
        return env != nullptr ? env : "wayland-0";
    }

    void disconnect() {
        clipboard.reset();
        if (fake != nullptr) {
            org_kde_kwin_fake_input_destroy(fake);
        }
        if (seat != nullptr) {
            wl_seat_destroy(seat);
        }
        if (registry != nullptr) {
            wl_registry_destroy(registry);
        }
        if (display != nullptr) {
            wl_display_flush(display);
            wl_display_disconnect(display);
        }
        fake = nullptr;
        seat = nullptr;
        registry = nullptr;
        display = nullptr;
        seatCapabilities = 0;
        heldKeys.clear();
        heldButtons.clear();
    }

    // libwayland gives the connection up when its outgoing buffer (4 KiB) is full and cannot
    // be written out at once, so requests never pile up there: every few verbs (and every
    // character of text) what is queued goes to the socket, so the buffer never holds more
    // than 16 verbs. When the socket itself is full (the compositor is not reading) we wait
    // briefly once; while it stays full, verbs are dropped (and counted) instead of the
    // connection.
    int verbsSinceFlush = 0;
    bool stalled = false;
    bool room(bool force = false) {
        if (!force && !stalled && ++verbsSinceFlush < 16) {
            return true;
        }
        verbsSinceFlush = 0;
        for (int attempt = 0; attempt < (stalled ? 1 : 20); ++attempt) {
            if (wl_display_flush(display) >= 0) {
                stalled = false;
                return true;
            }
            if (errno != EAGAIN) {
                return false;
            }
            pollfd p{wl_display_get_fd(display), POLLOUT, 0};
            ::poll(&p, 1, stalled ? 0 : 10);
        }
        stalled = true;
        return false;
    }

    bool connected() const { return display != nullptr && wl_display_get_error(display) == 0; }

    bool ready() {
        if (connected()) {
            return room();
        }
        if (display != nullptr) {
            disconnect();
            setReason(i18n::fill(i18n::tr("lost the connection to KWin at {1}"), {where()}));
        }
        const auto now = std::chrono::steady_clock::now();
        if (lastAttempt != std::chrono::steady_clock::time_point{} &&
            now - lastAttempt < options.reconnectInterval) {
            return false;
        }
        lastAttempt = now;
        return connect();
    }

    bool connect() {
        display = wl_display_connect(options.display.empty() ? nullptr : options.display.c_str());
        if (display == nullptr) {
            setReason(
                i18n::fill(i18n::tr("cannot connect to the Wayland compositor at {1}"), {where()}));
            return false;
        }
        registry = wl_display_get_registry(display);
        wl_registry_add_listener(registry, &registryListener, this);
        wl_display_roundtrip(display);
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
        wl_display_roundtrip(display); // the seat's capabilities
        readLayout();
        if (!connected()) {
            disconnect();
            setReason(i18n::fill(i18n::tr("KWin at {1} refused fake input"), {where()}));
            return false;
        }
        clipboard = std::make_unique<KdeDataControlClipboard>(
            KdeDataControlClipboard::Options{.display = options.display,
                                             .pasteHold = options.pasteHold,
                                             .pasteTimeout = options.pasteTimeout});
        if (!clipboard->available()) {
            DiagLog::write("KDE: characters the keyboard layout lacks cannot be typed: " +
                           clipboard->reason());
            clipboard.reset();
        }
        setReason({});
        return true;
    }

    // KWin's keymap, read from the seat's keyboard: the layout keys are typed on.
    void readLayout() {
        layout.clear();
        seatKeymap.clear();
        if ((seatCapabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0) {
            wl_keyboard* kb = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(kb, &keyboardListener, this);
            wl_display_roundtrip(display);
            if (wl_keyboard_get_version(kb) >= WL_KEYBOARD_RELEASE_SINCE_VERSION) {
                wl_keyboard_release(kb);
            } else {
                wl_keyboard_destroy(kb);
            }
        }
        xkb_keymap* keymap = nullptr;
        if (!seatKeymap.empty()) {
            keymap = xkb_keymap_new_from_string(xkb, seatKeymap.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                XKB_KEYMAP_COMPILE_NO_FLAGS);
        }
        if (keymap == nullptr) {
            keymap = xkb_keymap_new_from_names(xkb, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
        }
        if (keymap != nullptr) {
            layout = indexLayout(keymap);
            xkb_keymap_unref(keymap);
        }
    }

    void sendKey(int code, bool down) {
        org_kde_kwin_fake_input_keyboard_key(fake, static_cast<std::uint32_t>(code),
                                             down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                                  : WL_KEYBOARD_KEY_STATE_RELEASED);
    }

    void key(int code, bool down) {
        if (down == (heldKeys.count(code) != 0)) {
            return;
        }
        if (down) {
            heldKeys.insert(code);
        } else {
            heldKeys.erase(code);
        }
        sendKey(code, down);
    }

    void typeText(std::u32string_view text) {
        // The caller's modifiers are lifted for the text and put back after it.
        std::vector<int> lifted;
        for (const int k : heldKeys) {
            if (isModifier(k)) {
                lifted.push_back(k);
                sendKey(k, false);
            }
        }
        const auto onLayout = [&](char32_t cp) {
            const xkb_keysym_t sym = xkb_utf32_to_keysym(static_cast<std::uint32_t>(cp));
            return sym == XKB_KEY_NoSymbol ? layout.end() : layout.find(sym);
        };
        // Fake input types only what KWin's layout has: a text with anything else goes whole
        // through the clipboard (keeping its order), when KWin lets us set it.
        const bool typeable = std::all_of(
            text.begin(), text.end(), [&](char32_t cp) { return onLayout(cp) != layout.end(); });
        if (!typeable && clipboard && clipboard->available() && clipboard->offerPaste(utf8(text))) {
            ++pastes;
            tapPaste();
        } else {
            typeKeys(text);
        }
        for (const int k : lifted) {
            sendKey(k, true);
        }
    }

    // Control+V, with V where the layout has it.
    void tapPaste() {
        const auto v = layout.find(XKB_KEY_v);
        const int code =
            v != layout.end() && !v->second.shift ? static_cast<int>(v->second.keycode) - 8 : kKeyV;
        sendKey(kLeftCtrl, true);
        sendKey(code, true);
        sendKey(code, false);
        sendKey(kLeftCtrl, false);
        room(true);
    }

    void typeKeys(std::u32string_view text) {
        for (const char32_t cp : text) {
            const xkb_keysym_t sym = xkb_utf32_to_keysym(static_cast<std::uint32_t>(cp));
            const auto it = sym == XKB_KEY_NoSymbol ? layout.end() : layout.find(sym);
            if (it == layout.end()) {
                ++dropped; // no clipboard to carry it
                continue;
            }
            const int code = static_cast<int>(it->second.keycode) - 8;
            if (it->second.shift) {
                sendKey(kLeftShift, true);
            }
            sendKey(code, true);
            sendKey(code, false);
            if (it->second.shift) {
                sendKey(kLeftShift, false);
            }
            room();
        }
    }

    void button(int code, bool down) {
        if (down == (heldButtons.count(code) != 0)) {
            return;
        }
        if (down) {
            heldButtons.insert(code);
        } else {
            heldButtons.erase(code);
        }
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

    void releaseAll() {
        for (const int b : std::set<int>(heldButtons)) {
            button(b, false);
        }
        for (const int k : std::set<int>(heldKeys)) {
            key(k, false);
        }
    }

    void flush() {
        if (display == nullptr) {
            return;
        }
        room(true);
        if (wl_display_prepare_read(display) == 0) {
            pollfd p{wl_display_get_fd(display), POLLIN, 0};
            if (::poll(&p, 1, 0) > 0) {
                wl_display_read_events(display);
            } else {
                wl_display_cancel_read(display);
            }
        }
        wl_display_dispatch_pending(display);
        if (!connected()) {
            disconnect();
            setReason(i18n::fill(i18n::tr("lost the connection to KWin at {1}"), {where()}));
        }
    }

    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        auto* self = static_cast<Impl*>(data);
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && self->seat == nullptr) {
            self->seat = static_cast<wl_seat*>(
                wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 5u)));
            wl_seat_add_listener(self->seat, &seatListener, self);
        } else if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 &&
                   version >= 4) {
            // Version 4 brings keys; older KWin (before Plasma 5.19) is too old for us.
            self->fake = static_cast<org_kde_kwin_fake_input*>(
                wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
        }
    }
    static void globalRemove(void*, wl_registry*, std::uint32_t) {}
    static constexpr wl_registry_listener registryListener{global, globalRemove};

    static void capabilities(void* data, wl_seat*, std::uint32_t caps) {
        static_cast<Impl*>(data)->seatCapabilities = caps;
    }
    static void seatName(void*, wl_seat*, const char*) {}
    static constexpr wl_seat_listener seatListener{capabilities, seatName};

    static void keymapEvent(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd,
                            std::uint32_t size) {
        static_cast<Impl*>(data)->seatKeymap = readSeatKeymap(format, fd, size);
    }
    static void enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
    static void leave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
    static void keyEvent(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                         std::uint32_t) {}
    static void modifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t,
                          std::uint32_t, std::uint32_t) {}
    static void repeatInfo(void*, wl_keyboard*, std::int32_t, std::int32_t) {}
    static constexpr wl_keyboard_listener keyboardListener{keymapEvent, enter,     leave,
                                                           keyEvent,    modifiers, repeatInfo};
};

KdeFakeInputBackend::KdeFakeInputBackend(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->lastAttempt = std::chrono::steady_clock::now();
    impl_->connect();
}

KdeFakeInputBackend::~KdeFakeInputBackend() {
    if (impl_->connected()) {
        impl_->releaseAll();
        impl_->flush();
    }
}

InputPermission KdeFakeInputBackend::permission() const {
    std::lock_guard lock(impl_->reasonMutex);
    return {impl_->reason.empty(), impl_->reason};
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

void KdeFakeInputBackend::zoom(int steps) {
    if (!impl_->ready()) {
        ++impl_->dropped;
        return;
    }
    const bool pressCtrl = impl_->heldKeys.count(kLeftCtrl) == 0;
    if (pressCtrl) {
        impl_->key(kLeftCtrl, true);
    }
    impl_->wheel(steps * kWheelUnitsPerClick, 0);
    if (pressCtrl) {
        impl_->key(kLeftCtrl, false);
    }
}

void KdeFakeInputBackend::switchDesktop(int delta) {
    if (delta == 0) {
        return;
    }
    KwinBus bus(impl_->options.busAddress);
    const auto current = bus.currentDesktop();
    const auto count = bus.desktopCount();
    if (!current || !count) {
        ++impl_->dropped;
        return;
    }
    const int target = *current + (delta > 0 ? 1 : -1);
    if (target < 1 || target > static_cast<int>(*count)) {
        return; // the first or last desktop: no wrap-around
    }
    if (!bus.setCurrentDesktop(target)) {
        ++impl_->dropped;
    }
}

void KdeFakeInputBackend::toggleShowDesktop() {
    KwinBus bus(impl_->options.busAddress);
    const auto showing = bus.showingDesktop();
    if (!showing || !bus.showDesktop(!*showing)) {
        ++impl_->dropped;
    }
}

void KdeFakeInputBackend::openOverview() {
    if (!impl_->ready()) {
        ++impl_->dropped;
        return;
    }
    std::vector<int> keys{impl_->options.overviewKey};
    if (impl_->options.overviewCombination) {
        const std::string text = impl_->options.overviewCombination();
        auto parsed = evdevCombination(text, impl_->layout);
        if (!parsed) {
            // Pressing part of a combination would type or trigger something else.
            DiagLog::write("overviewKey \"" + text +
                           "\" is not a key combination of this keyboard layout: nothing pressed");
            return;
        }
        keys = std::move(*parsed);
    }
    // A key the tablet holds down is left alone: its release would cut the user's hold.
    for (const int k : keys) {
        if (impl_->heldKeys.count(k) != 0) {
            return;
        }
    }
    for (const int k : keys) {
        impl_->key(k, true);
    }
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
        impl_->key(*it, false);
    }
}

void KdeFakeInputBackend::releaseAll() {
    if (impl_->connected()) {
        impl_->releaseAll();
    }
}

void KdeFakeInputBackend::flush() {
    impl_->flush();
}

void KdeFakeInputBackend::sync() {
    impl_->flush();
    if (impl_->connected()) {
        wl_display_roundtrip(impl_->display);
        impl_->flush();
    }
}

} // namespace quillon::platform
