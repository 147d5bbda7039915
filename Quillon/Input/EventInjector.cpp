#include "Quillon/Input/EventInjector.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Input/EvdevKeys.hpp"
#include "Platform/Input/KeyCombination.hpp"
#include "Platform/Locale/Translation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <set>
#include <variant>

namespace quillon {

using platform::DesktopAction;
using platform::Point;
using wire::ControlMessage;
using wire::KeyModifiers;
using wire::ScrollPhase;
using wire::TrackpadGesture;
namespace cm = wire::cm;
namespace EvdevKey = platform::EvdevKey;
namespace KeyCode = wire::KeyCode;

namespace {

template <class... F> struct Overloaded : F... { using F::operator()...; };
template <class... F> Overloaded(F...) -> Overloaded<F...>;

constexpr double kZoomPerStep = 0.1;
// Absurd amounts must not flood the display server: at most this many clicks per message.
constexpr int kMaxClicksPerMessage = 100;
// Text is handed to the backend in runs of at most this many characters, the lock gate looked
// at before each.
constexpr std::size_t kTextRun = 20;
constexpr const char* kDefaultOverview = "Super";

constexpr double kInt32Min = static_cast<double>(std::numeric_limits<std::int32_t>::min());
constexpr double kInt32Max = static_cast<double>(std::numeric_limits<std::int32_t>::max());

// 0...1 with x <= 0 giving 0 and x > 1 giving 1 (infinities included; NaN is rejected before).
double unitClamp(double v) {
    if (v <= 0) {
        return 0;
    }
    if (v > 1) {
        return 1;
    }
    return v;
}

// Into [lo, hi], both ends included.
double edgeClamp(double v, double lo, double hi) {
    if (v <= lo) {
        return lo;
    }
    if (v > hi) {
        return hi;
    }
    return v;
}

// Scaled deltas stay inside the int32 range, so they round to an int32 without undefined
// behaviour and the statistics agree with what was scrolled.
double clampToInt32Range(double v) {
    return std::isnan(v) ? 0 : std::clamp(v, kInt32Min, kInt32Max);
}

// Adds `amount` to an accumulator and returns the whole steps of `perStep` it now holds (at
// most `maxSteps` either way; an excess beyond that is dropped, not saved up). A hair of
// tolerance makes sums of decimal fractions that land just short of a step (0.25 - 0.15) one.
int takeSteps(double& acc, double amount, double perStep, double maxSteps) {
    if (amount == 0 || !std::isfinite(amount)) {
        return 0; // an idle axis keeps its remainder as it is
    }
    acc += amount;
    const double ratio = acc / perStep;
    double whole = std::trunc(ratio + std::copysign(1e-9, ratio));
    if (std::abs(whole) > maxSteps) {
        whole = std::copysign(maxSteps, whole);
        acc = 0;
    } else {
        acc -= whole * perStep;
    }
    return static_cast<int>(whole);
}

int buttonCode(wire::MouseButton button) {
    switch (button) {
    case wire::MouseButton::left:
        return platform::PointerButton::left;
    case wire::MouseButton::right:
        return platform::PointerButton::right;
    case wire::MouseButton::middle:
        return platform::PointerButton::middle;
    }
    return platform::PointerButton::left;
}

// The modifiers' keys, walked in this order for presses and releases alike.
constexpr std::array<std::pair<KeyModifiers, std::uint16_t>, 4> kModifierKeys = {{
    {KeyModifiers::command, KeyCode::command},
    {KeyModifiers::shift, KeyCode::shift},
    {KeyModifiers::option, KeyCode::option},
    {KeyModifiers::control, KeyCode::control},
}};

// A key code without a Linux key is logged once per process and code.
void logMissingKeyOnce(std::uint16_t keyCode) {
    static std::mutex mutex;
    static std::set<std::uint16_t> logged;
    {
        std::lock_guard lock(mutex);
        if (!logged.insert(keyCode).second) {
            return;
        }
    }
    platform::DiagLog::write(i18n::fill(
        i18n::tr("[input] key code {1} has no key on Linux; ignored"), {std::to_string(keyCode)}));
}

void logBadCombinationOnce(const std::string& text) {
    static std::mutex mutex;
    static std::set<std::string> logged;
    {
        std::lock_guard lock(mutex);
        if (!logged.insert(text).second) {
            return;
        }
    }
    platform::DiagLog::write(
        i18n::fill(i18n::tr("[input] unknown overview shortcut \"{1}\""), {text}));
}

bool isNonCharacter(char32_t cp) {
    return (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE;
}

// The next code point of UTF-8 text; an invalid sequence is one U+FFFD per bad byte run, so the
// user sees that something was lost.
char32_t nextCodePoint(std::string_view in, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(in[k]); };
    const auto cont = [&](std::size_t k) { return k < in.size() && (byte(k) & 0xC0) == 0x80; };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    if (b0 >= 0xC2 && b0 < 0xE0 && cont(i + 1)) {
        const char32_t c = ((b0 & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
        i += 2;
        return c;
    }
    if (b0 >= 0xE0 && b0 < 0xF0 && cont(i + 1) && cont(i + 2)) {
        const char32_t c =
            ((b0 & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
        if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
            i += 3;
            return c;
        }
    } else if (b0 >= 0xF0 && b0 < 0xF5 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
        const char32_t c = ((b0 & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                           ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            i += 4;
            return c;
        }
    }
    ++i;
    return 0xFFFD;
}

} // namespace

const EventInjector::Settings& EventInjector::settings() {
    const platform::Defaults& d = services_.defaults;
    const std::uint64_t generation = d.generation();
    if (generation == settingsGeneration_) {
        return settings_;
    }
    settingsGeneration_ = generation;
    Settings s;
    if (const auto role = d.string("commandKey"); role && *role == "super") {
        s.commandKey = wire::CommandKeyRole::super;
    }
    if (const auto v = d.number("scrollPixelsPerClick"); v && std::isfinite(*v) && *v > 0) {
        s.pixelsPerClick = *v;
    }
    if (const auto v = d.number("scrollGain"); v && *v > 0) {
        s.gain = *v; // absent, 0 and below: the default
    }
    if (const auto v = d.number("momentumDecay"); v && *v > 0) {
        s.decay = *v;
    }
    // Wrong types read as the defaults.
    s.invertX = d.boolean("invertScrollX").value_or(false);
    s.invertY = d.boolean("invertScrollY").value_or(false);
    s.momentumEnabled = d.boolean("momentumEnabled").value_or(true);
    s.disablePinch = d.boolean("disablePinch").value_or(false);
    s.overviewKey = d.string("overviewKey").value_or(kDefaultOverview);
    settings_ = std::move(s);
    return settings_;
}

std::shared_ptr<EventInjector> EventInjector::create(Services services) {
    return std::shared_ptr<EventInjector>(new EventInjector(std::move(services)));
}

EventInjector::EventInjector(Services services)
    : services_(std::move(services)), backend_(*services_.backend) {
    if (!services_.gate) {
        services_.gate = std::make_shared<InputGate>();
    }
    if (!services_.clock) {
        services_.clock = [] {
            return std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now().time_since_epoch());
        };
    }
    const platform::Rect bounds = services_.geometry->mainBounds();
    cursor_ = {bounds.midX(), bounds.midY()};
    connections_ = backend_.connections();
}

EventInjector::~EventInjector() {
    if (momentumTimer_) {
        momentumTimer_->cancel();
    }
}

std::chrono::nanoseconds EventInjector::now() const {
    return services_.clock();
}

Point EventInjector::currentCursor() const {
    std::lock_guard lock(lock_);
    return cursor_;
}

KeyModifiers EventInjector::stickyModifiers() const {
    std::lock_guard lock(lock_);
    return held_.sticky();
}

bool EventInjector::holdsNothing() const {
    std::lock_guard lock(lock_);
    return held_.isEmpty();
}

platform::InputPermission EventInjector::permission() const {
    std::lock_guard lock(lock_);
    return backend_.permission();
}

bool EventInjector::momentumRunning() const {
    std::lock_guard lock(lock_);
    return momentum_.running();
}

std::string EventInjector::misroutedLine(const ControlMessage& message) {
    return i18n::fill(i18n::tr("[error] EventInjector received a message HostCoordinator should "
                               "have routed elsewhere: {1}; check the routing of receive"),
                      {message.description()});
}

void EventInjector::handle(const ControlMessage& message, Flush flush) {
    // The catalogue messages are routed elsewhere by the coordinator; one arriving here is a
    // routing bug worth a log line, and nothing else. Logged without the input lock.
    if (message.is<cm::ActivateApplication>() || message.is<cm::ListApplications>() ||
        message.is<cm::ApplicationList>()) {
        platform::DiagLog::write(misroutedLine(message));
        return;
    }
    std::lock_guard lock(lock_);
    followConnection();
    apply(message);
    if (flush == Flush::now) {
        backend_.flush();
    }
}

void EventInjector::flush() {
    std::lock_guard lock(lock_);
    backend_.flush();
}

// A backend that connected again lost what the old connection held: nothing is held now.
void EventInjector::followConnection() {
    const std::uint64_t connections = backend_.connections();
    if (connections != connections_) {
        connections_ = connections;
        held_.forget();
    }
}

void EventInjector::apply(const ControlMessage& message) {
    std::visit(
        Overloaded{
            [&](const cm::PointerAbsolute& m) {
                // The 0...1 clamp lets NaN through; a NaN coordinate says nothing about where
                // the pointer should go, so the message is dropped. Infinities clamp.
                if (std::isnan(m.x) || std::isnan(m.y)) {
                    return;
                }
                const platform::Rect b = services_.geometry->mainBounds();
                pointer(
                    {b.minX() + unitClamp(m.x) * b.width, b.minY() + unitClamp(m.y) * b.height});
            },
            [&](const cm::PointerRelative& m) {
                // A NaN delta would make the cursor NaN for good: dropped. Infinite deltas
                // clamp to the edge.
                if (std::isnan(m.dx) || std::isnan(m.dy)) {
                    return;
                }
                const platform::Rect b = services_.geometry->mainBounds();
                pointer({edgeClamp(cursor_.x + static_cast<double>(m.dx), b.minX(), b.maxX()),
                         edgeClamp(cursor_.y + static_cast<double>(m.dy), b.minY(), b.maxY())});
            },
            [&](const cm::MouseButton& m) { mouseButton(m.button, m.isDown); },
            [&](const cm::MultiClick& m) { multiClick(m.button, m.clickCount); },
            [&](const cm::Scroll& m) {
                scroll(static_cast<double>(m.dx), static_cast<double>(m.dy), m.phase);
            },
            [&](const cm::Magnify& m) { magnify(static_cast<double>(m.scale), m.phase); },
            [&](const cm::Gesture& m) { gesture(m.gesture); },
            [&](const cm::KeyCombo& m) { keyCombo(m.keyCode, m.modifiers); },
            [&](const cm::TextInput& m) { text(m.text); },
            [&](const cm::SetStickyModifiers& m) { setSticky(m.modifiers); },
            // Messages of the other parts of the host: ignored without a trace.
            [&](const auto&) {},
        },
        message.value());
}

// --- pointer ---------------------------------------------------------------------------------

void EventInjector::pointer(Point to) {
    cursor_ = to;
    backend_.movePointerTo(to);
}

void EventInjector::mouseButton(wire::MouseButton button, bool down) {
    const int code = buttonCode(button);
    if (!(down ? held_.pressButton(code) : held_.releaseButton(code))) {
        return; // a second press of a held button, or a release of one not held
    }
    // Pressed where the injector's cursor is, whatever moved the pointer since.
    backend_.movePointerTo(cursor_);
    backend_.button(code, down);
}

void EventInjector::multiClick(wire::MouseButton button, int count) {
    // Applications count rapid press/release pairs at one spot as a double or triple click.
    const int code = buttonCode(button);
    backend_.movePointerTo(cursor_);
    for (int i = 0; i < std::max(count, 1); ++i) {
        if (held_.pressButton(code)) { // a held button: its hold ends with the first release
            backend_.button(code, true);
        }
        held_.releaseButton(code);
        backend_.button(code, false);
    }
}

// --- keys ------------------------------------------------------------------------------------

void EventInjector::pressKey(int code) {
    if (held_.pressKey(code)) {
        backend_.key(code, true);
    }
}

void EventInjector::releaseKey(int code) {
    if (held_.releaseKey(code)) {
        backend_.key(code, false);
    }
}

void EventInjector::setModifiers(KeyModifiers modifiers, bool down, wire::CommandKeyRole role) {
    for (const auto& [member, keyCode] : kModifierKeys) {
        if (!modifiers.contains(member)) {
            continue;
        }
        if (const auto code = wire::evdevKeyFor(keyCode, role)) {
            down ? pressKey(*code) : releaseKey(*code);
        }
    }
}

void EventInjector::keyCombo(std::uint16_t keyCode, KeyModifiers modifiers) {
    // Plain F11 shows the desktop, as it does on the tablet's side; F11 with a modifier is F11.
    if (keyCode == KeyCode::f11 && modifiers.isEmpty()) {
        desktop(DesktopAction::toggleShowDesktop);
        return;
    }
    const wire::CommandKeyRole role = settings().commandKey;
    const auto code = wire::evdevKeyFor(keyCode, role);
    if (!code) {
        logMissingKeyOnce(keyCode);
        return;
    }
    setModifiers(modifiers, true, role);
    pressKey(*code);
    releaseKey(*code);
    setModifiers(modifiers, false, role);
}

void EventInjector::setSticky(KeyModifiers next) {
    const KeyModifiers old = held_.sticky();
    if (next == old) {
        return;
    }
    const wire::CommandKeyRole role = settings().commandKey;
    setModifiers(old - next, false, role);
    setModifiers(next - old, true, role);
    held_.setSticky(next);
}

// Presses the keys in order and releases them in reverse; a key the tablet holds down is left
// alone (its release would cut the user's hold), so then nothing is pressed.
void EventInjector::tapCombination(const std::vector<int>& keys) {
    for (const int k : keys) {
        if (held_.keyHeld(k)) {
            return;
        }
    }
    for (const int k : keys) {
        pressKey(k);
    }
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
        releaseKey(*it);
    }
}

// --- text ------------------------------------------------------------------------------------

void EventInjector::text(std::string_view utf8) {
    // Text carries no modifiers: a latched Command must not turn letters into shortcuts. The
    // held modifier keys are lifted for the text and put back after it.
    std::array<int, 8> lifted{};
    bool liftedYet = false;
    std::size_t liftedCount = 0;
    const auto lift = [&] {
        if (!liftedYet) {
            liftedYet = true;
            liftedCount = held_.heldModifierKeys(lifted);
            for (std::size_t i = 0; i < liftedCount; ++i) {
                backend_.key(lifted[i], false);
            }
        }
    };
    std::array<char32_t, kTextRun> run{};
    std::size_t runLength = 0;
    const auto flushRun = [&] {
        if (runLength > 0) {
            lift();
            backend_.typeText(std::u32string_view(run.data(), runLength));
            runLength = 0;
        }
    };
    bool gateOpen = services_.gate->isOpen();
    std::size_t i = 0;
    while (i < utf8.size() && gateOpen) {
        const char32_t cp = nextCodePoint(utf8, i);
        const bool afterCR = lastWasCR_;
        lastWasCR_ = cp == U'\r';
        if (cp == U'\n' && afterCR) {
            continue; // CR LF is one line break
        }
        if (cp == U'\r' || cp == U'\n' || cp == U'\t') {
            flushRun();
            lift();
            const int code = cp == U'\t' ? EvdevKey::tab : EvdevKey::enter;
            pressKey(code);
            releaseKey(code);
            continue;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || isNonCharacter(cp)) {
            continue; // control characters and non-characters type nothing
        }
        run[runLength++] = cp;
        if (runLength == run.size()) {
            flushRun();
            // The screen locked while typing: not one more run.
            gateOpen = services_.gate->isOpen();
        }
    }
    if (gateOpen) {
        flushRun();
    }
    for (std::size_t k = 0; k < liftedCount; ++k) {
        backend_.key(lifted[k], true);
    }
}

// --- scrolling and zoom ----------------------------------------------------------------------

void EventInjector::wheelPixels(double vertical, double horizontal) {
    const double perUnit = settings().pixelsPerClick / platform::kWheelUnitsPerClick;
    constexpr double maxUnits =
        static_cast<double>(kMaxClicksPerMessage) * platform::kWheelUnitsPerClick;
    const int v = takeSteps(wheelY_.pixels, vertical, perUnit, maxUnits);
    const int h = takeSteps(wheelX_.pixels, horizontal, perUnit, maxUnits);
    // A positive vertical delta moves the content down, as a wheel turned away from the user
    // does. A positive horizontal delta moves the content right, as a wheel turned left does:
    // the backend's horizontal sign is the other way round.
    if (v != 0 || h != 0) {
        backend_.wheel(v, -h);
    }
}

void EventInjector::scroll(double dx, double dy, ScrollPhase phase) {
    // A non-finite delta from the wire is treated as no movement on that axis.
    dx = std::isfinite(dx) ? dx : 0;
    dy = std::isfinite(dy) ? dy : 0;
    if (!services_.gate->isOpen()) {
        return; // a probe still running while the screen is locked
    }
    const Settings& d = settings();
    const double gain = d.gain;
    peakGain_ = std::max(peakGain_, gain);
    double sx = dx * gain;
    double sy = dy * gain;
    if (d.invertX) {
        sx = -sx;
    }
    if (d.invertY) {
        sy = -sy;
    }
    sx = clampToInt32Range(sx);
    sy = clampToInt32Range(sy);
    switch (phase) {
    case ScrollPhase::began:
        stopMomentum();
        momentum_.clearRecent();
        [[fallthrough]];
    case ScrollPhase::changed:
    case ScrollPhase::momentum: // a momentum phase from the tablet is a change
        // Whole points, as the wheel of a trackpad-like series posts them.
        wheelPixels(std::round(sy), std::round(sx));
        momentum_.record(sx, sy);
        totalScrolledY_ += std::abs(sy);
        return;
    case ScrollPhase::ended: // the message's own deltas are not scrolled
        if (d.momentumEnabled) {
            startMomentum();
        } else {
            stopMomentum(); // the recorded deltas stay until the next began
        }
        return;
    }
}

void EventInjector::startMomentum() {
    stopMomentum();
    if (!momentum_.start(now())) {
        return;
    }
    std::weak_ptr<EventInjector> weak = weak_from_this();
    const std::uint64_t generation = momentum_.generation();
    const auto scheduler = services_.scheduler.lock();
    if (!scheduler) {
        momentum_.stop();
        return;
    }
    momentumTimer_ = scheduler->scheduleRepeating(ScrollMomentum::kFirstDelay,
                                                  ScrollMomentum::kInterval, [weak, generation] {
                                                      if (auto self = weak.lock()) {
                                                          self->momentumTick(generation);
                                                      }
                                                  });
}

void EventInjector::stopMomentum() {
    momentum_.stop();
    if (momentumTimer_) {
        momentumTimer_->cancel(); // a tick already starting sees the momentum stopped
        momentumTimer_.reset();
    }
}

void EventInjector::momentumTick(std::uint64_t generation) {
    std::lock_guard lock(lock_);
    if (generation != momentum_.generation() || !momentum_.running()) {
        return; // stopped (or replaced) after this tick was due
    }
    if (!services_.gate->isOpen()) {
        stopMomentum(); // locked: not one more wheel turn
        return;
    }
    followConnection();
    const double decay = settings().decay;
    momentum_.advance(now(), decay, [&](const ScrollMomentum::Tick& tick) {
        totalScrolledY_ += std::abs(static_cast<double>(tick.dy));
        wheelPixels(tick.dy, tick.dx);
    });
    if (!momentum_.running()) {
        stopMomentum();
    }
    backend_.flush();
}

void EventInjector::magnify(double scale, ScrollPhase phase) {
    // A non-finite zoom amount means nothing: dropped.
    if (!std::isfinite(scale) || !services_.gate->isOpen()) {
        return;
    }
    if (phase == ScrollPhase::began) {
        zoomRemainder_ = 0; // a new pinch starts from nothing
    }
    zoomSteps(takeSteps(zoomRemainder_, scale, kZoomPerStep, kMaxClicksPerMessage));
}

// Control + wheel zooms in browsers, editors, image viewers and terminals alike; a Control the
// tablet already holds stays down.
void EventInjector::zoomSteps(int steps) {
    if (steps == 0) {
        return;
    }
    pressKey(EvdevKey::leftControl);
    backend_.wheel(steps * platform::kWheelUnitsPerClick, 0);
    releaseKey(EvdevKey::leftControl);
}

// --- gestures and the desktop ----------------------------------------------------------------

void EventInjector::gesture(TrackpadGesture gesture) {
    switch (gesture) {
    case TrackpadGesture::threeFingerUp:
        openOverview();
        return;
    case TrackpadGesture::threeFingerDown:
        keyCombo(KeyCode::downArrow, KeyModifiers::control);
        return;
    case TrackpadGesture::threeFingerLeft:
        desktop(DesktopAction::workspaceLeft);
        return;
    case TrackpadGesture::threeFingerRight:
        desktop(DesktopAction::workspaceRight);
        return;
    case TrackpadGesture::smartZoom:
        return; // a desktop has no counterpart
    case TrackpadGesture::showDesktop:
        desktop(DesktopAction::toggleShowDesktop);
        return;
    case TrackpadGesture::pinchIn:
    case TrackpadGesture::pinchOut:
        if (settings().disablePinch) {
            return;
        }
        break;
    case TrackpadGesture::fourFingerPinchIn:
        break;
    }
    if (const auto binding = services_.gestureMapper.binding(gesture)) {
        keyCombo(binding->keyCode, binding->modifiers);
    }
}

void EventInjector::desktop(DesktopAction action) {
    if (backend_.desktopAction(action)) {
        return;
    }
    const std::vector<int> keys = backend_.desktopShortcut(action);
    if (!keys.empty()) {
        tapCombination(keys);
    }
}

void EventInjector::openOverview() {
    const std::string& text = settings().overviewKey;
    const auto keys = platform::resolveKeyCombination(text, backend_);
    if (!keys) {
        // Pressing part of a combination would type or trigger something else.
        logBadCombinationOnce(text);
        return;
    }
    tapCombination(*keys);
}

// --- releasing -------------------------------------------------------------------------------

void EventInjector::releaseAll() {
    std::lock_guard lock(lock_);
    stopMomentum();
    followConnection();
    held_.releaseAll(backend_);
    lastWasCR_ = false;
    zoomRemainder_ = 0;
    backend_.flush();
}

// --- probes ----------------------------------------------------------------------------------

void EventInjector::probeScroll(bool fast, std::function<void()> completion) {
    // Steps on the scheduler instead of a sleeping thread: nothing waits, and the injector is
    // held only weakly between steps.
    struct Probe {
        std::weak_ptr<EventInjector> injector;
        std::weak_ptr<platform::Scheduler> scheduler;
        std::chrono::nanoseconds pause;
        std::function<void()> completion;
        int step = 0; // 0 began, 1...20 changes, 21 ended
        void run(const std::shared_ptr<Probe>& self) {
            if (auto target = injector.lock()) {
                const ControlMessage m =
                    step == 0    ? ControlMessage(cm::Scroll{0, 0, ScrollPhase::began})
                    : step <= 20 ? ControlMessage(cm::Scroll{0, -3.0f, ScrollPhase::changed})
                                 : ControlMessage(cm::Scroll{0, 0, ScrollPhase::ended});
                target->handle(m);
            }
            if (step++ == 21) {
                if (completion) {
                    completion();
                }
                return;
            }
            // The first change follows the began at once; each change is followed by a pause.
            const auto delay = step == 1 ? std::chrono::nanoseconds(0) : pause;
            if (auto queue = scheduler.lock()) {
                queue->scheduleOnce(delay, [self] { self->run(self); });
            }
        }
    };
    auto probe = std::make_shared<Probe>();
    probe->injector = weak_from_this();
    probe->scheduler = services_.scheduler;
    probe->pause = std::chrono::microseconds(fast ? 8000 : 24000);
    probe->completion = std::move(completion);
    if (auto queue = services_.scheduler.lock()) {
        queue->scheduleOnce(std::chrono::nanoseconds(0), [probe] { probe->run(probe); });
    }
}

void EventInjector::probeMagnify() {
    struct Probe {
        std::weak_ptr<EventInjector> injector;
        std::weak_ptr<platform::Scheduler> scheduler;
        int step = 0; // 0 begin, 1...12 steps of 0.08, 13 end
        void run(const std::shared_ptr<Probe>& self) {
            auto injector = this->injector.lock();
            if (!injector || (step > 0 && !injector->services_.gate->isOpen())) {
                return; // gone, or locked: not another step, the end included
            }
            const ControlMessage m = step == 0 ? ControlMessage(cm::Magnify{0, ScrollPhase::began})
                                     : step <= 12
                                         ? ControlMessage(cm::Magnify{0.08f, ScrollPhase::changed})
                                         : ControlMessage(cm::Magnify{0, ScrollPhase::ended});
            injector->handle(m);
            if (step++ == 13) {
                return;
            }
            if (auto queue = scheduler.lock()) {
                queue->scheduleOnce(step == 1 ? std::chrono::nanoseconds(0)
                                              : std::chrono::microseconds(16000),
                                    [self] { self->run(self); });
            }
        }
    };
    auto probe = std::make_shared<Probe>();
    probe->injector = weak_from_this();
    probe->scheduler = services_.scheduler;
    if (auto queue = services_.scheduler.lock()) {
        queue->scheduleOnce(std::chrono::nanoseconds(0), [probe] { probe->run(probe); });
    }
}

std::pair<double, double> EventInjector::scrollStats() const {
    std::lock_guard lock(lock_);
    return {totalScrolledY_, peakGain_};
}

void EventInjector::resetScrollStats() {
    std::lock_guard lock(lock_);
    totalScrolledY_ = 0;
    peakGain_ = 0;
}

} // namespace quillon
