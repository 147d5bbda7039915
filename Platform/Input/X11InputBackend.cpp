#include "Platform/Input/X11InputBackend.hpp"

#include "Platform/Display/X11Connection.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/X11Desktop.hpp"
#include "Platform/Locale/Translation.hpp"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quillon::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLinuxToX = 8;           // X keycode = Linux key code + 8
constexpr int kMaxClicksPerCall = 100; // absurd amounts must not turn into a flood of clicks
constexpr unsigned kWheelUp = 4;       // content moves down
constexpr unsigned kWheelDown = 5;
constexpr unsigned kWheelLeft = 6; // content moves right
constexpr unsigned kWheelRight = 7;

KeySym keysymForCodePoint(char32_t cp) {
    if ((cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)) {
        return cp; // Latin-1 keysyms are the code points themselves
    }
    return 0x01000000 | cp;
}

unsigned xButtonFor(int button) {
    switch (button) {
    case PointerButton::left:
        return 1;
    case PointerButton::middle:
        return 2;
    case PointerButton::right:
        return 3;
    default:
        return 0;
    }
}

} // namespace

struct X11InputBackend::Impl {
    explicit Impl(Options o) : options(std::move(o)) {
        options.textPoolSize = std::max(1, options.textPoolSize);
        geometry = options.geometry ? options.geometry
                                    : std::make_shared<X11DisplayGeometry>(options.display);
        connect();
    }

    ~Impl() {
        if (usable()) {
            restoreTextPool();
            XSync(conn->get(), False);
        }
    }

    // --- connection --------------------------------------------------------------------

    bool usable() const { return conn && xtest && !conn->lost(); }

    void connect() {
        lastAttempt = Clock::now();
        conn = std::make_unique<x11::Connection>(options.display);
        xtest = false;
        resetServerState();
        if (!*conn) {
            reason = conn->error();
            return;
        }
        int ev = 0, err = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(conn->get(), &ev, &err, &major, &minor)) {
            reason =
                i18n::fill(i18n::tr("the X server at {1} has no XTest extension"), {conn->name()});
            return;
        }
        // Our own fake events must not be held back by another client's server grab.
        XTestGrabControl(conn->get(), True);
        xtest = true;
        ++connections;
        reason.clear();
    }

    // True when a usable connection exists (opening a new one at most once per interval);
    // false counts the verb as dropped.
    bool ready() {
        if (usable()) {
            return true;
        }
        if (Clock::now() - lastAttempt >= options.reconnectInterval) {
            connect();
            if (usable()) {
                return true;
            }
        }
        ++stats.dropped;
        return false;
    }

    // What this backend believed about the server no longer holds (new connection).
    void resetServerState() {
        keymapLoaded = false;
        pool.clear();
        accV = 0;
        accH = 0;
    }

    Display* dpy() const { return conn->get(); }

    // --- pointer -------------------------------------------------------------------------

    void motionTo(Point p) {
        X11DisplayGeometry::State s = geometry->state();
        if (!s.connected || s.pixelWidth <= 0 || s.pixelHeight <= 0) {
            const int screen = DefaultScreen(dpy());
            s = {};
            s.connected = true;
            s.scale = 1.0;
            s.pixelWidth = DisplayWidth(dpy(), screen);
            s.pixelHeight = DisplayHeight(dpy(), screen);
        }
        int x = 0, y = 0;
        X11DisplayGeometry::toRoot(s, p.x, p.y, x, y);
        // The pointer stays on the main display: the tablet's area is that display.
        x = std::clamp(x, s.originX, s.originX + s.pixelWidth - 1);
        y = std::clamp(y, s.originY, s.originY + s.pixelHeight - 1);
        XTestFakeMotionEvent(dpy(), -1, x, y, CurrentTime);
        lastPoint = p;
        ++stats.motions;
    }

    // --- keys ----------------------------------------------------------------------------

    void pressKeycode(int keycode, bool down) {
        if (keycode < 8 || keycode > 255) {
            ++stats.dropped;
            return;
        }
        XTestFakeKeyEvent(dpy(), static_cast<unsigned>(keycode), down ? True : False, CurrentTime);
        ++stats.keys;
    }

    // --- text ----------------------------------------------------------------------------

    struct KeyPlace {
        int keycode = 0;
        int level = 0; // 0 plain, 1 with Shift
    };

    struct Slot {
        int keycode = 0;
        KeySym sym = NoSymbol;
        Clock::time_point lastUsed{};
    };

    void loadKeymap() {
        symbols.clear();
        spare.clear();
        pool.clear();
        nextSlot = 0;
        int minKc = 0, maxKc = 0;
        XDisplayKeycodes(dpy(), &minKc, &maxKc);
        int per = 0;
        KeySym* map =
            XGetKeyboardMapping(dpy(), static_cast<KeyCode>(minKc), maxKc - minKc + 1, &per);
        if (map != nullptr && per > 0) {
            for (int level = 0; level < std::min(per, 2); ++level) {
                for (int kc = minKc; kc <= maxKc; ++kc) {
                    const KeySym s = map[(kc - minKc) * per + level];
                    if (s != NoSymbol) {
                        symbols.emplace(s, KeyPlace{kc, level});
                    }
                }
            }
            // Keycode 8 (Linux code 0, "reserved") is skipped: some clients ignore it.
            for (int kc = maxKc; kc >= std::max(minKc, 9); --kc) {
                bool empty = true;
                for (int i = 0; i < per; ++i) {
                    empty = empty && map[(kc - minKc) * per + i] == NoSymbol;
                }
                if (empty) {
                    spare.push_back(kc);
                }
            }
        }
        if (map != nullptr) {
            XFree(map);
        }
        const std::size_t n =
            std::min<std::size_t>(spare.size(), static_cast<std::size_t>(options.textPoolSize));
        for (std::size_t i = 0; i < n; ++i) {
            pool.push_back({spare[i], NoSymbol, {}});
        }
        const auto shift = symbols.find(XK_Shift_L);
        shiftKeycode = shift != symbols.end() ? shift->second.keycode : 0;
        keymapLoaded = true;
    }

    // Reads what the server told us about keymap changes (without a round trip). A change of
    // our own pool slot is ours; anything else (a new layout) invalidates the cached keymap.
    void drainEvents(int mode) {
        while (XEventsQueued(dpy(), mode) > 0) {
            XEvent ev;
            XNextEvent(dpy(), &ev);
            if (ev.type != MappingNotify) {
                continue;
            }
            XRefreshKeyboardMapping(&ev.xmapping);
            if (ev.xmapping.request != MappingKeyboard) {
                continue;
            }
            const bool ours =
                ev.xmapping.count == 1 && std::any_of(pool.begin(), pool.end(), [&](const Slot& s) {
                    return s.keycode == ev.xmapping.first_keycode;
                });
            if (!ours) {
                keymapLoaded = false;
            }
        }
    }

    void tap(int keycode) {
        pressKeycode(keycode, true);
        pressKeycode(keycode, false);
    }

    // A keycode that currently types `sym` at its first level: a spare keycode remapped when
    // the keymap has no key for it. A slot is remapped only after it has rested (its earlier
    // key events flushed and given time to be read), since a client that reads them after the
    // remap would see the new character instead.
    int slotFor(KeySym sym) {
        for (Slot& s : pool) {
            if (s.sym == sym) {
                s.lastUsed = Clock::now();
                return s.keycode;
            }
        }
        if (pool.empty()) {
            return 0;
        }
        Slot& s = pool[nextSlot];
        nextSlot = (nextSlot + 1) % pool.size();
        if (s.sym != NoSymbol) {
            const auto ready = s.lastUsed + options.textSlotRest;
            if (Clock::now() < ready) {
                XSync(dpy(), False);
                std::this_thread::sleep_until(ready);
            }
        }
        KeySym syms[2] = {sym, sym};
        XChangeKeyboardMapping(dpy(), s.keycode, 2, syms, 1);
        ++stats.remaps;
        s.sym = sym;
        s.lastUsed = Clock::now();
        return s.keycode;
    }

    void restoreTextPool() {
        Clock::time_point latest{};
        for (const Slot& s : pool) {
            if (s.sym != NoSymbol) {
                latest = std::max(latest, s.lastUsed);
            }
        }
        if (latest == Clock::time_point{}) {
            return;
        }
        XSync(dpy(), False);
        std::this_thread::sleep_until(latest + options.textSlotRest);
        for (Slot& s : pool) {
            if (s.sym != NoSymbol) {
                KeySym none[2] = {NoSymbol, NoSymbol};
                XChangeKeyboardMapping(dpy(), s.keycode, 2, none, 1);
                s.sym = NoSymbol;
            }
        }
    }

    void typeSym(KeySym sym) {
        const auto it = symbols.find(sym);
        if (it != symbols.end()) {
            const KeyPlace place = it->second;
            const bool shift = place.level == 1 && shiftKeycode != 0;
            if (shift) {
                pressKeycode(shiftKeycode, true);
            }
            tap(place.keycode);
            if (shift) {
                pressKeycode(shiftKeycode, false);
            }
            return;
        }
        if (const int kc = slotFor(sym); kc != 0) {
            tap(kc);
        } else {
            ++stats.dropped;
        }
    }

    void typeText(std::u32string_view text) {
        drainEvents(QueuedAfterReading);
        if (!keymapLoaded) {
            loadKeymap();
        }
        // Caps Lock would turn typed letters into capitals (and capitals into small letters):
        // switch it off around the text when it is on (a round trip per call, not per key).
        const auto capsLock = symbols.find(XK_Caps_Lock);
        XkbStateRec state{};
        const bool lockOn = capsLock != symbols.end() &&
                            XkbGetState(dpy(), XkbUseCoreKbd, &state) == Success &&
                            (state.locked_mods & LockMask) != 0;
        if (lockOn) {
            tap(capsLock->second.keycode);
        }
        for (const char32_t cp : text) {
            typeSym(keysymForCodePoint(cp));
        }
        if (lockOn) {
            tap(capsLock->second.keycode);
        }
    }

    // --- wheel ---------------------------------------------------------------------------

    void clicks(unsigned positiveButton, unsigned negativeButton, int n) {
        const unsigned b = n > 0 ? positiveButton : negativeButton;
        for (int i = 0; i < std::abs(n); ++i) {
            XTestFakeButtonEvent(dpy(), b, True, CurrentTime);
            XTestFakeButtonEvent(dpy(), b, False, CurrentTime);
            ++stats.wheelClicks;
        }
    }

    // Adds `units` to an axis and returns the whole clicks it now holds (at most
    // kMaxClicksPerCall either way; an excess is dropped, not saved up). A turn of direction
    // starts from nothing: half a click down must not swallow a click up (a zoom out after a
    // scroll down).
    static int takeClicks(int& acc, int units) {
        if ((acc > 0 && units < 0) || (acc < 0 && units > 0)) {
            acc = 0;
        }
        const long long sum = static_cast<long long>(acc) + units;
        long long whole = sum / kWheelUnitsPerClick; // toward zero: the remainder keeps its sign
        if (whole > kMaxClicksPerCall || whole < -kMaxClicksPerCall) {
            acc = 0;
            return whole > 0 ? kMaxClicksPerCall : -kMaxClicksPerCall;
        }
        acc = static_cast<int>(sum - whole * kWheelUnitsPerClick);
        return static_cast<int>(whole);
    }

    void wheel(int vertical, int horizontal) {
        const int v = vertical != 0 ? takeClicks(accV, vertical) : 0;
        const int h = horizontal != 0 ? takeClicks(accH, horizontal) : 0;
        if (v != 0) {
            clicks(kWheelUp, kWheelDown, v);
        }
        if (h != 0) {
            clicks(kWheelRight, kWheelLeft, h);
        }
    }

    Options options;
    std::shared_ptr<const X11DisplayGeometry> geometry;
    std::unique_ptr<x11::Connection> conn;
    bool xtest = false;
    std::string reason;
    Clock::time_point lastAttempt{};
    Stats stats;
    Point lastPoint{};

    std::uint64_t connections = 0;

    bool keymapLoaded = false;
    std::unordered_map<KeySym, KeyPlace> symbols;
    std::vector<int> spare;
    std::vector<Slot> pool;
    std::size_t nextSlot = 0;
    int shiftKeycode = 0;

    int accV = 0; // wheel units
    int accH = 0;
};

X11InputBackend::X11InputBackend(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

X11InputBackend::~X11InputBackend() = default;

std::uint64_t X11InputBackend::connections() const {
    return impl_->connections;
}

InputPermission X11InputBackend::permission() const {
    if (impl_->usable()) {
        return {true, {}};
    }
    if (impl_->conn && impl_->conn->lost()) {
        return {false, "the connection to X display " + impl_->conn->name() + " was lost"};
    }
    return {false, impl_->reason};
}

void X11InputBackend::movePointerTo(Point to) {
    if (impl_->ready()) {
        impl_->motionTo(to);
    }
}

void X11InputBackend::movePointerBy(double dx, double dy) {
    if (impl_->ready()) {
        impl_->motionTo({impl_->lastPoint.x + dx, impl_->lastPoint.y + dy});
    }
}

void X11InputBackend::button(int button, bool down) {
    const unsigned b = xButtonFor(button);
    if (b == 0) {
        ++impl_->stats.dropped;
        return;
    }
    if (!impl_->ready()) {
        return; // counted as dropped
    }
    XTestFakeButtonEvent(impl_->dpy(), b, down ? True : False, CurrentTime);
    ++impl_->stats.buttons;
}

void X11InputBackend::key(int evdevCode, bool down) {
    if (impl_->ready()) {
        impl_->pressKeycode(evdevCode + kLinuxToX, down);
    }
}

void X11InputBackend::typeText(std::u32string_view text) {
    if (!text.empty() && impl_->ready()) {
        impl_->typeText(text);
    }
}

void X11InputBackend::wheel(int vertical, int horizontal) {
    if (impl_->ready()) {
        impl_->wheel(vertical, horizontal);
    }
}

std::optional<KeyPlace> X11InputBackend::keyForKeysym(std::uint32_t keysym) {
    if (!impl_->ready()) {
        return std::nullopt;
    }
    impl_->drainEvents(QueuedAfterReading);
    if (!impl_->keymapLoaded) {
        impl_->loadKeymap();
    }
    const auto it = impl_->symbols.find(keysym);
    if (it == impl_->symbols.end()) {
        return std::nullopt;
    }
    return KeyPlace{it->second.keycode - kLinuxToX, it->second.level == 1};
}

bool X11InputBackend::desktopAction(DesktopAction action) {
    if (!impl_->ready()) {
        return true; // counted as dropped; there is no other way on X either
    }
    switch (action) {
    case DesktopAction::workspaceLeft:
        platform::switchDesktop(impl_->dpy(), -1);
        break;
    case DesktopAction::workspaceRight:
        platform::switchDesktop(impl_->dpy(), +1);
        break;
    case DesktopAction::toggleShowDesktop:
        toggleShowingDesktop(impl_->dpy());
        break;
    }
    return true;
}

void X11InputBackend::flush() {
    if (!impl_->usable()) {
        return;
    }
    XFlush(impl_->dpy());
    ++impl_->stats.flushes;
    // Keep Xlib's event queue short: only keymap notices ever arrive here. XQLength reads the
    // queue's length without Xlib's display lock; most flushes find it empty.
    if (XQLength(impl_->dpy()) > 0) {
        impl_->drainEvents(QueuedAlready);
    }
}

void X11InputBackend::sync() {
    if (impl_->usable()) {
        XSync(impl_->dpy(), False);
    }
}

X11InputBackend::Stats X11InputBackend::stats() const {
    return impl_->stats;
}

std::pair<int, int> X11InputBackend::wheelRemainder() const {
    return {impl_->accV, impl_->accH};
}

} // namespace quillon::platform
