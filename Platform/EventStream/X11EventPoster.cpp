#include "Platform/EventStream/X11EventPoster.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Display/X11Connection.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/EventStream/X11Desktop.hpp"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

namespace quillon::platform {

X11InputSettings readX11InputSettings(const Defaults& defaults) {
    X11InputSettings s;
    if (const auto role = defaults.string("commandKey"); role && *role == "super") {
        s.command = CommandKeyRole::super;
    }
    if (const auto ppc = defaults.number("scrollPixelsPerClick");
        ppc && std::isfinite(*ppc) && *ppc > 0) {
        s.scrollPixelsPerClick = *ppc;
    }
    return s;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLinuxToX = 8;            // X keycode = Linux key code + 8
constexpr int kMaxClicksPerEvent = 100; // absurd deltas must not turn into a flood of clicks
constexpr double kZoomPerClick = 0.1;   // magnification per Control+wheel click
constexpr int kDockSwipe = 23;          // gesture kind of a dock swipe
constexpr std::uint64_t kModifierFlags =
    EventFlags::shift | EventFlags::control | EventFlags::alternate | EventFlags::command;

// Field numbers of the dock-swipe events that are not among the common EventField names.
constexpr std::uint32_t kSwipeDirection = 135; // 1 right, 0x80000001 left
constexpr std::uint32_t kSwipeProgress = 124;  // -1.0 right, 1.0 left

// A missing key is logged once per process and key code, however many posters there are.
void logMissingKeyOnce(std::uint16_t macKey) {
    static std::mutex mutex;
    static std::set<std::uint16_t> logged;
    {
        std::lock_guard lock(mutex);
        if (!logged.insert(macKey).second) {
            return;
        }
    }
    DiagLog::write("【输入】键码 " + std::to_string(macKey) + " 在 Linux 上没有对应的按键，已忽略");
}

bool isNonCharacter(char32_t cp) {
    return (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE;
}

KeySym keysymForCodePoint(char32_t cp) {
    if ((cp >= 0x20 && cp <= 0x7E) || (cp >= 0xA0 && cp <= 0xFF)) {
        return cp; // Latin-1 keysyms are the code points themselves
    }
    return 0x01000000 | cp;
}

} // namespace

struct X11EventPoster::Impl {
    explicit Impl(Options o) : options(std::move(o)) {
        if (!options.settings) {
            options.settings = [] { return readX11InputSettings(Defaults::standard()); };
        }
        options.textPoolSize = std::max(1, options.textPoolSize);
        geometry = options.geometry ? options.geometry
                                    : std::make_shared<X11DisplayGeometry>(options.display);
        std::lock_guard lock(mutex);
        connect();
    }

    ~Impl() {
        std::lock_guard lock(mutex);
        if (usable()) {
            releaseEverything();
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
            reason = "the X server at " + conn->name() + " has no XTest extension";
            return;
        }
        // Our own fake events must not be held back by another client's server grab.
        XTestGrabControl(conn->get(), True);
        xtest = true;
        reason.clear();
    }

    // True when a usable connection exists (opening a new one at most once per interval).
    bool ensureConnected() {
        if (usable()) {
            return true;
        }
        if (conn && conn->lost()) {
            reason = "the connection to X display " + conn->name() + " was lost";
        }
        if (Clock::now() - lastAttempt < options.reconnectInterval) {
            return false;
        }
        connect();
        return usable();
    }

    // What this poster believed about the server no longer holds (new connection).
    void resetServerState() {
        keyCount.fill(0);
        keyHeld.fill(false);
        buttonDown.fill(false);
        keymapLoaded = false;
        pool.clear();
        showDesktopKeyDown = false;
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
        // The pointer stays on the main display, as the Mac keeps it there.
        x = std::clamp(x, s.originX, s.originX + s.pixelWidth - 1);
        y = std::clamp(y, s.originY, s.originY + s.pixelHeight - 1);
        XTestFakeMotionEvent(dpy(), -1, x, y, CurrentTime);
        ++stats.motions;
    }

    void button(unsigned xButton, bool press, Point at) {
        motionTo(at);
        XTestFakeButtonEvent(dpy(), xButton, press ? True : False, CurrentTime);
        if (xButton < buttonDown.size()) {
            buttonDown[xButton] = press;
        }
        ++stats.buttons;
    }

    static unsigned otherButton(int macButton) {
        switch (macButton) {
        case 2:
            return 2; // middle
        case 3:
            return 8; // back
        case 4:
            return 9; // forward
        default:
            return 0;
        }
    }

    // --- keys ----------------------------------------------------------------------------

    void pressKeycode(int keycode, bool down) {
        if (keycode < 8 || keycode > 255) {
            return;
        }
        XTestFakeKeyEvent(dpy(), static_cast<unsigned>(keycode), down ? True : False, CurrentTime);
        keyHeld[static_cast<std::size_t>(keycode)] = down;
        ++stats.keys;
    }

    // Modifier keys are counted per X keycode: with Command acting as Control, Command and
    // Control share one X key, and releasing one must not release the other.
    void modifierKeycode(int keycode, bool down) {
        auto& n = keyCount[static_cast<std::size_t>(keycode)];
        if (down) {
            if (n++ == 0) {
                pressKeycode(keycode, true);
            }
        } else if (n > 0 && --n == 0) {
            pressKeycode(keycode, false);
        }
    }

    void key(const Event& e) {
        bool down = e.type == EventType::keyDown;
        if (e.type == EventType::flagsChanged) {
            const std::uint64_t flag = macModifierFlag(e.keyCode);
            down = flag != 0 ? (e.flags & flag) != 0 : e.keyDown;
        }
        if (!e.unicode.empty() && e.type != EventType::flagsChanged) {
            if (down) {
                typeText(e.unicode);
            }
            return;
        }
        // Plain F11 is "show desktop" on the Mac, and exactly what the sink posts for it.
        if (e.keyCode == MacKey::f11 && e.type != EventType::flagsChanged) {
            if (down && (e.flags & kModifierFlags) == 0) {
                showDesktopKeyDown = true;
                toggleShowingDesktop(dpy());
                return;
            }
            if (!down && showDesktopKeyDown) {
                showDesktopKeyDown = false;
                return;
            }
        }
        const auto code = linuxKeyForMacKey(e.keyCode, options.settings().command);
        if (!code) {
            ++stats.dropped;
            logMissingKeyOnce(e.keyCode);
            return;
        }
        const int keycode = *code + kLinuxToX;
        if (isMacModifierKey(e.keyCode) || e.keyCode == MacKey::capsLock) {
            if (e.keyCode == MacKey::capsLock) {
                pressKeycode(keycode, down);
            } else {
                modifierKeycode(keycode, down);
            }
            return;
        }
        pressKeycode(keycode, down);
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
        const std::size_t n = std::min<std::size_t>(spare.size(), options.textPoolSize);
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

    void typeCodePoint(char32_t cp) {
        const bool afterCR = lastWasCR;
        lastWasCR = cp == U'\r';
        if (cp == U'\n' && afterCR) {
            return; // CR LF is one line break
        }
        if (cp == U'\r' || cp == U'\n') {
            typeSym(XK_Return);
        } else if (cp == U'\t') {
            typeSym(XK_Tab);
        } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || isNonCharacter(cp) || cp > 0x10FFFF) {
            ++stats.dropped; // control characters and non-characters type nothing
        } else {
            typeSym(keysymForCodePoint(cp));
        }
    }

    // Text arrives in chunks of UTF-16 code units that may split a surrogate pair; a high
    // surrogate at the end of one chunk waits for the low one at the start of the next.
    void typeText(const std::u16string& units) {
        drainEvents(QueuedAfterReading);
        if (!keymapLoaded) {
            loadKeymap();
        }
        // Typed text carries no modifiers: lift the ones held (latched Command would turn
        // letters into shortcuts) and put them back afterwards.
        std::vector<int> lifted;
        for (std::size_t kc = 0; kc < keyCount.size(); ++kc) {
            if (keyCount[kc] > 0) {
                lifted.push_back(static_cast<int>(kc));
                pressKeycode(static_cast<int>(kc), false);
            }
        }
        // Caps Lock would turn typed letters into capitals (and capitals into small letters):
        // switch it off around the text when it is on (a round trip per chunk, not per key).
        const auto capsLock = symbols.find(XK_Caps_Lock);
        XkbStateRec state{};
        const bool lockOn = capsLock != symbols.end() &&
                            XkbGetState(dpy(), XkbUseCoreKbd, &state) == Success &&
                            (state.locked_mods & LockMask) != 0;
        if (lockOn) {
            tap(capsLock->second.keycode);
        }
        for (const char16_t u : units) {
            const bool high = u >= 0xD800 && u <= 0xDBFF;
            const bool low = u >= 0xDC00 && u <= 0xDFFF;
            if (pendingHigh != 0) {
                const char16_t h = pendingHigh;
                pendingHigh = 0;
                if (low) {
                    typeCodePoint(0x10000 + ((static_cast<char32_t>(h) - 0xD800) << 10) +
                                  (static_cast<char32_t>(u) - 0xDC00));
                    continue;
                }
                ++stats.dropped; // a lone high surrogate
            }
            if (high) {
                pendingHigh = u;
            } else if (low) {
                ++stats.dropped; // a lone low surrogate
            } else {
                typeCodePoint(u);
            }
        }
        if (lockOn) {
            tap(capsLock->second.keycode);
        }
        for (const int kc : lifted) {
            pressKeycode(kc, true);
        }
    }

    // --- scrolling and gestures ------------------------------------------------------------

    void clicks(unsigned positiveButton, unsigned negativeButton, int n) {
        const unsigned b = n > 0 ? positiveButton : negativeButton;
        for (int i = 0; i < std::abs(n); ++i) {
            XTestFakeButtonEvent(dpy(), b, True, CurrentTime);
            XTestFakeButtonEvent(dpy(), b, False, CurrentTime);
            ++stats.wheelClicks;
        }
    }

    // Adds `pixels` to an axis and returns the whole clicks it now holds (at most
    // kMaxClicksPerEvent either way; an excess beyond that is dropped, not saved up).
    static int takeClicks(double& acc, double pixels, double perClick) {
        if (pixels == 0 || !std::isfinite(pixels)) {
            return 0; // an idle axis keeps its remainder as it is
        }
        acc += pixels;
        // A hair of tolerance so that sums of decimal fractions (0.25 - 0.15) that land just
        // short of a whole click still make one.
        const double ratio = acc / perClick;
        double whole = std::trunc(ratio + std::copysign(1e-9, ratio));
        if (std::abs(whole) > kMaxClicksPerEvent) {
            whole = std::copysign(kMaxClicksPerEvent, whole);
            acc = 0;
        } else {
            acc -= whole * perClick;
        }
        return static_cast<int>(whole);
    }

    void scroll(const Event& e) {
        double perClick = options.settings().scrollPixelsPerClick;
        if (!(perClick > 0) || !std::isfinite(perClick)) {
            perClick = 10;
        }
        // Line-based wheel events count whole clicks.
        const double unit = e.scrollUnit == ScrollUnit::line ? perClick : 1.0;
        // A positive vertical delta moves the content down, as a wheel turned away from the
        // user does: X button 4 ("up"). Positive horizontal: content moves right, button 6.
        const int cy = takeClicks(accY, e.wheel1 * unit, perClick);
        const int cx = takeClicks(accX, e.wheel2 * unit, perClick);
        if (cy != 0) {
            clicks(4, 5, cy);
        }
        if (cx != 0) {
            clicks(6, 7, cx);
        }
    }

    void zoom(const Event& e) {
        if (e.integerField(EventField::gesturePhase).value_or(0) == 1) {
            zoomAcc = 0; // a new pinch starts from nothing
        }
        const int n = takeClicks(zoomAcc, e.doubleField(EventField::gestureZoomAmount).value_or(0),
                                 kZoomPerClick);
        if (n == 0) {
            return;
        }
        // Control + wheel zooms in browsers, editors, image viewers and terminals alike.
        const int control = linuxControlKeycode();
        modifierKeycode(control, true);
        clicks(4, 5, n);
        modifierKeycode(control, false);
    }

    static int linuxControlKeycode() {
        return *linuxKeyForMacKey(MacKey::control, CommandKeyRole::control) + kLinuxToX;
    }

    void gesture(const Event& e) {
        const auto kind = e.integerField(EventField::gestureKind);
        if (kind == 8) {
            zoom(e);
        }
        // 6 (scroll companions), 61/62 (series begin/end), 22 (smart zoom) and the bare gesture
        // halves of dock swipes have no Linux counterpart: the wheel events carry the scroll,
        // and X has no smart zoom.
    }

    void dockControl(const Event& e) {
        if (e.integerField(EventField::gestureKind) != kDockSwipe) {
            return;
        }
        const auto phase = e.integerField(EventField::gesturePhase).value_or(0);
        if (phase != 4) {
            swipeActed = false; // a swipe under way: act at its end
            return;
        }
        if (swipeActed) {
            return; // the end phase comes in two events; one switch per swipe
        }
        std::optional<bool> right;
        if (const auto dir = e.integerField(kSwipeDirection)) {
            right = *dir == 1;
        } else if (const auto progress = e.doubleField(kSwipeProgress)) {
            right = *progress < 0;
        }
        if (!right) {
            return;
        }
        swipeActed = true;
        switchDesktop(dpy(), *right ? 1 : -1);
    }

    void releaseEverything() {
        for (unsigned b = 1; b < buttonDown.size(); ++b) {
            if (buttonDown[b]) {
                XTestFakeButtonEvent(dpy(), b, False, CurrentTime);
                buttonDown[b] = false;
            }
        }
        keyCount.fill(0);
        for (std::size_t kc = 0; kc < keyHeld.size(); ++kc) {
            if (keyHeld[kc]) {
                pressKeycode(static_cast<int>(kc), false);
            }
        }
    }

    void post(const Event& e) {
        switch (e.type) {
        case EventType::mouseMoved:
        case EventType::leftMouseDragged:
        case EventType::rightMouseDragged:
        case EventType::otherMouseDragged:
            motionTo(e.location);
            break;
        case EventType::leftMouseDown:
        case EventType::leftMouseUp:
            button(1, e.type == EventType::leftMouseDown, e.location);
            break;
        case EventType::rightMouseDown:
        case EventType::rightMouseUp:
            button(3, e.type == EventType::rightMouseDown, e.location);
            break;
        case EventType::otherMouseDown:
        case EventType::otherMouseUp:
            if (const unsigned b = otherButton(e.mouseButton); b != 0) {
                button(b, e.type == EventType::otherMouseDown, e.location);
            } else {
                ++stats.dropped;
            }
            break;
        case EventType::keyDown:
        case EventType::keyUp:
        case EventType::flagsChanged:
            key(e);
            break;
        case EventType::scrollWheel:
            scroll(e);
            break;
        case EventType::gesture:
            gesture(e);
            break;
        case EventType::dockControl:
            dockControl(e);
            break;
        case EventType::null:
            // Dock swipes are created blank and typed through field 55.
            if (e.integerField(EventField::eventType) == 30) {
                dockControl(e);
            } else if (e.integerField(EventField::eventType) == 29) {
                gesture(e);
            }
            break;
        }
    }

    Options options;
    std::shared_ptr<const X11DisplayGeometry> geometry;
    mutable std::mutex mutex;
    std::unique_ptr<x11::Connection> conn;
    bool xtest = false;
    std::string reason;
    Clock::time_point lastAttempt{};
    Stats stats;

    std::array<int, 256> keyCount{};   // held modifier keys, per X keycode
    std::array<bool, 256> keyHeld{};   // every key pressed here and not released
    std::array<bool, 10> buttonDown{}; // held X buttons (1..9)
    bool showDesktopKeyDown = false;

    bool keymapLoaded = false;
    std::unordered_map<KeySym, KeyPlace> symbols;
    std::vector<int> spare;
    std::vector<Slot> pool;
    std::size_t nextSlot = 0;
    int shiftKeycode = 0;
    char16_t pendingHigh = 0;
    bool lastWasCR = false;

    double accY = 0;
    double accX = 0;
    double zoomAcc = 0;
    bool swipeActed = false;
};

X11EventPoster::X11EventPoster() : X11EventPoster(Options{}) {}

X11EventPoster::X11EventPoster(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

X11EventPoster::~X11EventPoster() = default;

bool X11EventPoster::permitted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->usable();
}

bool X11EventPoster::checkPermission() {
    std::lock_guard lock(impl_->mutex);
    return impl_->ensureConnected();
}

std::string X11EventPoster::reason() const {
    std::lock_guard lock(impl_->mutex);
    if (impl_->conn && impl_->conn->lost()) {
        return "the connection to X display " + impl_->conn->name() + " was lost";
    }
    return impl_->reason;
}

bool X11EventPoster::canCreate(const Event&) {
    std::lock_guard lock(impl_->mutex);
    return impl_->ensureConnected();
}

void X11EventPoster::post(const Event& event) {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->ensureConnected()) {
            return;
        }
        impl_->post(event);
    }
    EventBatch::flushLater(this);
}

void X11EventPoster::flush() {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->usable()) {
        return;
    }
    XFlush(impl_->dpy());
    ++impl_->stats.flushes;
    // Keep Xlib's event queue short: only keymap notices ever arrive here.
    impl_->drainEvents(QueuedAlready);
}

void X11EventPoster::sync() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->usable()) {
        XSync(impl_->dpy(), False);
    }
}

X11EventPoster::Stats X11EventPoster::stats() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->stats;
}

std::pair<double, double> X11EventPoster::scrollRemainder() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->accY, impl_->accX};
}

} // namespace quillon::platform
