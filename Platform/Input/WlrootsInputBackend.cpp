#include "Platform/Input/WlrootsInputBackend.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Input/SwayIpc.hpp"
#include "Platform/Input/Wayland/WaylandClient.hpp"
#include "Platform/Input/Wayland/XkbLayoutIndex.hpp"

#include "Platform/Locale/Translation.hpp"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace quillon::platform {

namespace {

constexpr double kWheelValuePerClick = 15.0;
// Keycodes of the keymap that carries characters missing from the user's layout: X clients
// (XWayland) see keycodes only up to 255.
constexpr xkb_keycode_t kFirstTextKeycode = 9;
constexpr xkb_keycode_t kLastTextKeycode = 255;

std::uint32_t nowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

// A keymap as the compositor wants it: a sealed-size file holding the text and its NUL.
int keymapFile(const std::string& text) {
    const int fd = ::memfd_create("quillon-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        return -1;
    }
    const std::size_t size = text.size() + 1;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, text.c_str() + done, size - done);
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

std::string textKeymap(const std::vector<xkb_keysym_t>& keysyms) {
    std::string keycodes, symbols;
    for (std::size_t i = 0; i < keysyms.size(); ++i) {
        char name[64];
        if (xkb_keysym_get_name(keysyms[i], name, sizeof name) <= 0) {
            std::snprintf(name, sizeof name, "0x%x", keysyms[i]);
        }
        const auto code = kFirstTextKeycode + i;
        keycodes += "<T" + std::to_string(i) + "> = " + std::to_string(code) + ";\n";
        symbols += "key <T" + std::to_string(i) + "> { [ " + name + " ] };\n";
    }
    return "xkb_keymap {\n"
           "xkb_keycodes \"quillon-text\" {\nminimum = 8;\nmaximum = 255;\n" +
           keycodes +
           "};\n"
           "xkb_types \"quillon-text\" { include \"complete\" };\n"
           "xkb_compatibility \"quillon-text\" { include \"complete\" };\n"
           "xkb_symbols \"quillon-text\" {\n" +
           symbols + "};\n};\n";
}

} // namespace

struct WlrootsInputBackend::Impl {
    // Which keymap the virtual keyboard has now.
    enum class Keymap { user, text };

    Options options;
    SwayIpc sway;
    wayland::Client client;
    wayland::Reconnect reconnect{options.reconnectInterval};

    zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
    zwlr_virtual_pointer_v1* pointer = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    std::string seatKeymap; // the seat's keymap text, read once at connection

    xkb_context* xkb = nullptr;
    xkb_keymap* keymap = nullptr;
    xkb_state* state = nullptr;
    std::string keymapText;
    std::unordered_map<xkb_keysym_t, KeyPosition> layout;
    xkb_mod_mask_t shiftMask = 0;
    Keymap current = Keymap::user;

    int wheelRemainder[2] = {0, 0};         // vertical, horizontal, in high-resolution units
    std::string workspaceBeforeShowDesktop; // non-empty while the desktop is shown

    std::atomic<std::uint64_t> connections{0};
    std::atomic<std::uint64_t> dropped{0};
    mutable std::mutex reasonMutex; // permission() may be asked from another thread
    std::string reason = i18n::tr("not connected to the Wayland compositor yet");

    explicit Impl(Options o)
        : options(std::move(o)), sway(options.swaySocket),
          client({.display = options.display,
                  .global = [this](std::uint32_t name, std::string_view interface, std::uint32_t) {
                      global(name, interface);
                  }}) {
        xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    }
    ~Impl() {
        disconnect();
        dropKeymap();
        xkb_context_unref(xkb);
    }

    void setReason(std::string r) {
        std::lock_guard lock(reasonMutex);
        reason = std::move(r);
    }

    std::string where() const { return client.where(); }

    void dropKeymap() {
        xkb_state_unref(state);
        xkb_keymap_unref(keymap);
        state = nullptr;
        keymap = nullptr;
    }

    void disconnect() {
        if (pointer != nullptr) {
            zwlr_virtual_pointer_v1_destroy(pointer);
        }
        if (keyboard != nullptr) {
            zwp_virtual_keyboard_v1_destroy(keyboard);
        }
        if (pointerManager != nullptr) {
            zwlr_virtual_pointer_manager_v1_destroy(pointerManager);
        }
        if (keyboardManager != nullptr) {
            zwp_virtual_keyboard_manager_v1_destroy(keyboardManager);
        }
        client.disconnect();
        pointer = nullptr;
        keyboard = nullptr;
        pointerManager = nullptr;
        keyboardManager = nullptr;
        current = Keymap::user;
        wheelRemainder[0] = wheelRemainder[1] = 0;
    }

    // Every few verbs (and every character of text) what is queued goes to the compositor;
    // while it does not read, verbs are dropped (and counted) instead of the connection.
    bool room(bool force = false) { return client.room(force); }

    bool connected() const { return client.connected(); }

    // Connected, or connected again if the last attempt is old enough; false: drop the verb.
    bool ready() {
        if (connected()) {
            return room();
        }
        if (client.display() != nullptr) {
            disconnect();
            setReason(i18n::fill(i18n::tr("lost the connection to the Wayland compositor at {1}"),
                                 {where()}));
        }
        return reconnect.due(std::chrono::steady_clock::now()) && connect();
    }

    bool connect() {
        // The globals, then the seat's capabilities.
        if (!client.connect(2)) {
            setReason(
                i18n::fill(i18n::tr("cannot connect to the Wayland compositor at {1}"), {where()}));
            return false;
        }
        std::string missing;
        if (client.seat() == nullptr) {
            missing = "wl_seat";
        } else if (pointerManager == nullptr) {
            missing = "zwlr_virtual_pointer_manager_v1";
        } else if (keyboardManager == nullptr) {
            missing = "zwp_virtual_keyboard_manager_v1";
        }
        if (!missing.empty()) {
            disconnect();
            setReason(i18n::fill(
                i18n::tr("the Wayland compositor at {1} offers no {2}: it is not a wlroots "
                         "compositor"),
                {where(), missing}));
            return false;
        }
        seatKeymap = client.seatKeymap();
        if (!loadUserKeymap()) {
            disconnect();
            setReason(i18n::tr("no usable keyboard layout (xkb could not compile the keymap)"));
            return false;
        }
        pointer =
            zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointerManager, client.seat());
        keyboard =
            zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboardManager, client.seat());
        uploadKeymap(keymapText);
        current = Keymap::user;
        client.roundtrip();
        if (!connected()) {
            const std::uint32_t code = client.error();
            disconnect();
            setReason(i18n::fill(i18n::tr("the Wayland compositor at {1} refused the virtual "
                                          "pointer or keyboard (error {2})"),
                                 {where(), std::to_string(code)}));
            return false;
        }
        ++connections;
        setReason({});
        return true;
    }

    bool loadUserKeymap() {
        dropKeymap();
        if (!seatKeymap.empty()) {
            keymap = xkb_keymap_new_from_string(xkb, seatKeymap.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                XKB_KEYMAP_COMPILE_NO_FLAGS);
        }
        if (keymap == nullptr) {
            // Null names: XKB_DEFAULT_RULES/MODEL/LAYOUT/VARIANT/OPTIONS, else "us".
            keymap = xkb_keymap_new_from_names(xkb, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
        }
        if (keymap == nullptr) {
            return false;
        }
        state = xkb_state_new(keymap);
        char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
        keymapText = text != nullptr ? text : "";
        std::free(text);
        layout = indexLayout(keymap);
        shiftMask = 1u << xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
        return true;
    }

    void uploadKeymap(const std::string& text) {
        const int fd = keymapFile(text);
        if (fd < 0) {
            return;
        }
        // libwayland duplicates the descriptor when it queues the request.
        zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                       static_cast<std::uint32_t>(text.size() + 1));
        ::close(fd);
    }

    void useUserKeymap() {
        if (current != Keymap::user) {
            uploadKeymap(keymapText);
            current = Keymap::user;
        }
    }

    void sendModifiers() {
        zwp_virtual_keyboard_v1_modifiers(
            keyboard, xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
            xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
            xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
            xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
    }

    void key(int code, bool down) {
        useUserKeymap();
        zwp_virtual_keyboard_v1_key(keyboard, nowMs(), static_cast<std::uint32_t>(code),
                                    down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                         : WL_KEYBOARD_KEY_STATE_RELEASED);
        xkb_state_update_key(state, static_cast<xkb_keycode_t>(code + 8),
                             down ? XKB_KEY_DOWN : XKB_KEY_UP);
        sendModifiers();
    }

    void tap(xkb_keycode_t keycode) {
        const std::uint32_t code = keycode - 8;
        zwp_virtual_keyboard_v1_key(keyboard, nowMs(), code, WL_KEYBOARD_KEY_STATE_PRESSED);
        zwp_virtual_keyboard_v1_key(keyboard, nowMs(), code, WL_KEYBOARD_KEY_STATE_RELEASED);
    }

    // Characters the layout lacks, typed on a keymap of our own, in chunks of as many distinct
    // characters as there are spare keycodes.
    void typeOnTextKeymap(const std::vector<xkb_keysym_t>& run) {
        std::size_t start = 0;
        while (start < run.size()) {
            std::vector<xkb_keysym_t> distinct;
            std::size_t end = start;
            for (; end < run.size(); ++end) {
                if (std::find(distinct.begin(), distinct.end(), run[end]) == distinct.end()) {
                    if (distinct.size() == kLastTextKeycode - kFirstTextKeycode + 1) {
                        break;
                    }
                    distinct.push_back(run[end]);
                }
            }
            uploadKeymap(textKeymap(distinct));
            current = Keymap::text;
            zwp_virtual_keyboard_v1_modifiers(keyboard, 0, 0, 0, 0);
            for (std::size_t i = start; i < end; ++i) {
                const auto slot =
                    std::find(distinct.begin(), distinct.end(), run[i]) - distinct.begin();
                tap(kFirstTextKeycode + static_cast<xkb_keycode_t>(slot));
                room();
            }
            start = end;
        }
    }

    void typeText(std::u32string_view text) {
        std::vector<xkb_keysym_t> missing;
        const auto flushMissing = [&] {
            if (!missing.empty()) {
                typeOnTextKeymap(missing);
                missing.clear();
            }
        };
        for (const char32_t cp : text) {
            const xkb_keysym_t sym = xkb_utf32_to_keysym(static_cast<std::uint32_t>(cp));
            if (sym == XKB_KEY_NoSymbol) {
                continue;
            }
            const auto it = layout.find(sym);
            if (it == layout.end()) {
                missing.push_back(sym);
                continue;
            }
            flushMissing();
            useUserKeymap();
            // Only Shift where the character needs it: not the caller's modifiers, not Caps
            // Lock; the layout's first group, where the index was made.
            zwp_virtual_keyboard_v1_modifiers(keyboard, it->second.shift ? shiftMask : 0, 0, 0, 0);
            tap(it->second.keycode);
            room();
        }
        flushMissing();
        useUserKeymap();
        sendModifiers();
    }

    void frame() { zwlr_virtual_pointer_v1_frame(pointer); }

    void button(int code, bool down) {
        zwlr_virtual_pointer_v1_button(pointer, nowMs(), static_cast<std::uint32_t>(code),
                                       down ? WL_POINTER_BUTTON_STATE_PRESSED
                                            : WL_POINTER_BUTTON_STATE_RELEASED);
        frame();
    }

    void wheel(int vertical, int horizontal) {
        const std::uint32_t time = nowMs();
        bool any = false;
        const int units[2] = {vertical, horizontal};
        for (int i = 0; i < 2; ++i) {
            if (units[i] == 0) {
                continue;
            }
            // Wayland's vertical axis grows downwards (towards the user); ours is evdev's.
            const int sign = i == 0 ? -1 : 1;
            const auto axis =
                i == 0 ? WL_POINTER_AXIS_VERTICAL_SCROLL : WL_POINTER_AXIS_HORIZONTAL_SCROLL;
            wheelRemainder[i] += units[i];
            const int clicks = wheelRemainder[i] / kWheelUnitsPerClick;
            wheelRemainder[i] -= clicks * kWheelUnitsPerClick;
            if (!any) {
                zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
                any = true;
            }
            const wl_fixed_t value =
                wl_fixed_from_double(sign * units[i] * kWheelValuePerClick / kWheelUnitsPerClick);
            if (clicks != 0) {
                zwlr_virtual_pointer_v1_axis_discrete(pointer, time, axis, value, sign * clicks);
            } else {
                zwlr_virtual_pointer_v1_axis(pointer, time, axis, value);
            }
        }
        if (any) {
            frame();
        }
    }

    void flush() {
        if (client.display() == nullptr) {
            return;
        }
        if (!client.pump()) {
            disconnect();
            setReason(i18n::fill(i18n::tr("lost the connection to the Wayland compositor at {1}"),
                                 {where()}));
        }
    }

    std::optional<std::vector<SwayWorkspace>> workspaces() const {
        const auto reply = sway.request(SwayIpc::Type::getWorkspaces, {});
        return reply ? parseSwayWorkspaces(*reply) : std::nullopt;
    }

    bool runSway(const std::string& command) const {
        const auto reply = sway.request(SwayIpc::Type::runCommand, command);
        return reply && swayCommandSucceeded(*reply);
    }

    static std::string quoted(const std::string& name) {
        std::string out = "\"";
        for (const char c : name) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            out += c;
        }
        return out + "\"";
    }

    // Workspaces by number, as a row: no wrap-around, and never below 1.
    bool switchDesktop(int delta) {
        const auto list = workspaces();
        if (!list) {
            return false;
        }
        for (const auto& ws : *list) {
            if (ws.focused) {
                if (ws.num < 1 || ws.num + delta < 1) {
                    return true; // a named workspace, or already the first: nothing to do
                }
                return runSway("workspace number " + std::to_string(ws.num + delta));
            }
        }
        return false;
    }

    // Shown: an unused workspace is focused; shown again: back to where the user was.
    bool toggleShowDesktop() {
        if (!workspaceBeforeShowDesktop.empty()) {
            const bool ok = runSway("workspace " + quoted(workspaceBeforeShowDesktop));
            workspaceBeforeShowDesktop.clear();
            return ok;
        }
        const auto list = workspaces();
        if (!list) {
            return false;
        }
        int highest = 0;
        std::string focused;
        for (const auto& ws : *list) {
            highest = std::max(highest, ws.num);
            if (ws.focused) {
                focused = ws.name;
            }
        }
        if (focused.empty() || !runSway("workspace number " + std::to_string(highest + 1))) {
            return false;
        }
        workspaceBeforeShowDesktop = focused;
        return true;
    }

    void global(std::uint32_t name, std::string_view interface) {
        if (interface == zwlr_virtual_pointer_manager_v1_interface.name) {
            pointerManager = static_cast<zwlr_virtual_pointer_manager_v1*>(
                client.bind(name, &zwlr_virtual_pointer_manager_v1_interface, 1));
        } else if (interface == zwp_virtual_keyboard_manager_v1_interface.name) {
            keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(
                client.bind(name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        }
    }
};

WlrootsInputBackend::WlrootsInputBackend(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->reconnect.due(std::chrono::steady_clock::now());
    impl_->connect();
}

WlrootsInputBackend::~WlrootsInputBackend() {
    if (impl_->connected()) {
        impl_->useUserKeymap();
        impl_->flush();
    }
}

InputPermission WlrootsInputBackend::permission() const {
    std::lock_guard lock(impl_->reasonMutex);
    return {impl_->reason.empty(), impl_->reason};
}

std::uint64_t WlrootsInputBackend::connections() const {
    return impl_->connections.load();
}

std::uint64_t WlrootsInputBackend::dropped() const {
    return impl_->dropped.load();
}

void WlrootsInputBackend::movePointerTo(Point to) {
    const auto geometry = impl_->options.geometry ? impl_->options.geometry->state()
                                                  : WaylandDisplayGeometry::State{};
    if (!impl_->ready() || !geometry.connected || geometry.desktop.width <= 0 ||
        geometry.desktop.height <= 0) {
        ++impl_->dropped;
        return;
    }
    // Inside the selected area (its last point included), then as a fraction of the layout:
    // 256 steps per point keep fractions of a point.
    const auto inside = [](double v, double size) {
        return std::isfinite(v) ? std::clamp(v, 0.0, std::max(0.0, size - 1)) : 0.0;
    };
    constexpr double kSteps = 256;
    const double x = geometry.area.x + inside(to.x, geometry.area.width) - geometry.desktop.x;
    const double y = geometry.area.y + inside(to.y, geometry.area.height) - geometry.desktop.y;
    zwlr_virtual_pointer_v1_motion_absolute(
        impl_->pointer, nowMs(), static_cast<std::uint32_t>(std::lround(x * kSteps)),
        static_cast<std::uint32_t>(std::lround(y * kSteps)),
        static_cast<std::uint32_t>(std::lround(geometry.desktop.width * kSteps)),
        static_cast<std::uint32_t>(std::lround(geometry.desktop.height * kSteps)));
    impl_->frame();
}

void WlrootsInputBackend::movePointerBy(double dx, double dy) {
    if (!impl_->ready() || !std::isfinite(dx) || !std::isfinite(dy)) {
        ++impl_->dropped;
        return;
    }
    zwlr_virtual_pointer_v1_motion(impl_->pointer, nowMs(), wl_fixed_from_double(dx),
                                   wl_fixed_from_double(dy));
    impl_->frame();
}

void WlrootsInputBackend::button(int button, bool down) {
    if (!impl_->ready()) {
        ++impl_->dropped;
        return;
    }
    impl_->button(button, down);
}

void WlrootsInputBackend::key(int evdevCode, bool down) {
    if (!impl_->ready() || evdevCode <= 0 || evdevCode > 0xffff) {
        ++impl_->dropped;
        return;
    }
    impl_->key(evdevCode, down);
}

void WlrootsInputBackend::typeText(std::u32string_view text) {
    if (!impl_->ready()) {
        ++impl_->dropped;
        return;
    }
    impl_->typeText(text);
}

void WlrootsInputBackend::wheel(int vertical, int horizontal) {
    if (!impl_->ready()) {
        ++impl_->dropped;
        return;
    }
    impl_->wheel(vertical, horizontal);
}

std::optional<KeyPlace> WlrootsInputBackend::keyForKeysym(std::uint32_t keysym) {
    if (!impl_->connected() && !impl_->ready()) {
        return std::nullopt;
    }
    const auto it = impl_->layout.find(keysym);
    if (it == impl_->layout.end()) {
        return std::nullopt;
    }
    return KeyPlace{static_cast<int>(it->second.keycode) - 8, it->second.shift};
}

bool WlrootsInputBackend::desktopAction(DesktopAction action) {
    bool done = false;
    switch (action) {
    case DesktopAction::workspaceLeft:
        done = impl_->switchDesktop(-1);
        break;
    case DesktopAction::workspaceRight:
        done = impl_->switchDesktop(+1);
        break;
    case DesktopAction::toggleShowDesktop:
        done = impl_->toggleShowDesktop();
        break;
    }
    if (!done) {
        ++impl_->dropped;
    }
    return done;
}

void WlrootsInputBackend::flush() {
    impl_->flush();
}

void WlrootsInputBackend::sync() {
    impl_->flush();
    if (impl_->connected()) {
        impl_->client.roundtrip();
        impl_->flush();
    }
}

} // namespace quillon::platform
