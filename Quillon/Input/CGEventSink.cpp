#include "Quillon/Input/CGEventSink.hpp"

#include "WireProtocol/KeyCodes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <thread>

namespace quillon {

namespace KeyCode = wire::KeyCode;
using platform::Event;
namespace EventField = platform::EventField;
using platform::EventTap;
using platform::EventType;
using platform::Point;
using wire::KeyModifiers;
using wire::MouseButton;
using wire::ScrollPhase;
using wire::TrackpadGesture;

namespace {

// Flag bit and key code of each modifier, walked in this order for presses and releases.
struct ModifierKey {
    KeyModifiers member;
    std::uint64_t flag;
    std::uint16_t keyCode;
};
constexpr std::array<ModifierKey, 4> kModifierKeys = {{
    {KeyModifiers::command, platform::EventFlags::command, wire::KeyCode::command},
    {KeyModifiers::shift, platform::EventFlags::shift, wire::KeyCode::shift},
    {KeyModifiers::option, platform::EventFlags::alternate, wire::KeyCode::option},
    {KeyModifiers::control, platform::EventFlags::control, wire::KeyCode::control},
}};

constexpr std::uint16_t kShowDesktopKey = wire::KeyCode::f11;
constexpr std::size_t kTextChunk = 20;

namespace EventPhase = platform::EventPhase;
namespace GestureKind = platform::GestureKind;
namespace MomentumPhase = platform::MomentumPhase;

constexpr double kInt32Min = static_cast<double>(std::numeric_limits<std::int32_t>::min());
constexpr double kInt32Max = static_cast<double>(std::numeric_limits<std::int32_t>::max());
// 2^63: the first double that no longer fits a signed 64-bit integer.
constexpr double kInt64Limit = 9223372036854775808.0;

constexpr double kDefaultGain = 3.0;
constexpr double kDefaultDecay = 0.955;
constexpr double kMomentumThreshold = 1.5;

bool emitTo(platform::EventPoster& poster, const Event& event) {
    if (!poster.canCreate(event)) {
        return false;
    }
    poster.post(event);
    return true;
}

// Scaled scroll deltas and momentum velocities are kept inside the int32 range before they
// are rounded, so every wheel delta converts to int32 without undefined behaviour, and the
// gesture fields, the recorded deltas and the statistics all agree with what was posted. A
// NaN (only reachable through a non-finite gain or velocity, which the callers rule out) is 0.
double clampToInt32Range(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    return std::clamp(v, kInt32Min, kInt32Max);
}

std::int32_t roundToInt32(double clamped) {
    return static_cast<std::int32_t>(std::round(clamped)); // half away from zero
}

Event mouseEvent(EventType type, Point at, int button, std::uint64_t flags) {
    Event e;
    e.type = type;
    e.location = at;
    e.mouseButton = button;
    e.flags = flags;
    return e;
}

Event keyEvent(std::uint16_t keyCode, bool down, std::uint64_t flags) {
    Event e;
    e.type = down ? EventType::keyDown : EventType::keyUp;
    e.keyCode = keyCode;
    e.keyDown = down;
    e.flags = flags;
    return e;
}

// A continuous pixel-precise wheel event; the caller adds the scroll or momentum phase.
Event wheelEvent(std::int32_t vertical, std::int32_t horizontal) {
    Event e;
    e.type = EventType::scrollWheel;
    e.scrollUnit = platform::ScrollUnit::pixel;
    e.wheelCount = 2;
    e.wheel1 = vertical;
    e.wheel2 = horizontal;
    e.wheel3 = 0;
    e.setIntegerField(EventField::scrollIsContinuous, 1);
    e.setIntegerField(EventField::scrollPointDeltaAxis1, vertical);
    e.setIntegerField(EventField::scrollPointDeltaAxis2, horizontal);
    return e;
}

Event gestureEvent(std::int64_t kind) {
    Event e;
    e.type = EventType::gesture;
    e.setIntegerField(EventField::gestureKind, kind);
    return e;
}

Event scrollGestureEvent(std::int64_t phase, double dx, double dy) {
    Event e = gestureEvent(GestureKind::scroll);
    e.setIntegerField(EventField::gesturePhase, phase);
    e.setIntegerField(EventField::gestureIsScroll, 1);
    e.setDoubleField(EventField::gestureScrollX, dx);
    e.setDoubleField(EventField::gestureScrollY, dy);
    return e;
}

Event seriesEvent(std::int64_t kind) {
    Event e = gestureEvent(kind);
    e.setIntegerField(EventField::gestureSeriesKind, GestureKind::scroll);
    return e;
}

Event zoomEvent(double amount, std::int64_t phase) {
    Event e = gestureEvent(GestureKind::zoom);
    e.setDoubleField(EventField::gestureZoomAmount, amount);
    e.setIntegerField(EventField::gesturePhase, phase);
    return e;
}

// Space-switching events are made without a source and go to the session tap.
Event dockEvent(std::int64_t type) {
    Event e;
    e.hasSource = false;
    e.tap = EventTap::session;
    e.type = static_cast<EventType>(type);
    e.setIntegerField(EventField::eventType, type); // setting field 55 is setting the type
    return e;
}

std::int64_t gesturePhaseOf(ScrollPhase phase) {
    switch (phase) {
    case ScrollPhase::began:
        return EventPhase::began;
    case ScrollPhase::changed:
        return EventPhase::changed;
    case ScrollPhase::ended:
        return EventPhase::ended;
    case ScrollPhase::momentum:
        return EventPhase::changed;
    }
    return EventPhase::changed;
}

double systemUptimeNanoseconds() {
    // steady_clock is the monotonic clock: time since boot, not counting suspend.
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// UTF-8 to UTF-16. The wire delivers valid UTF-8; anything else is replaced by U+FFFD per bad
// sequence rather than dropped, so the user sees that something was lost.
std::u16string utf16FromUtf8(std::string_view in) {
    std::u16string out;
    out.reserve(in.size());
    std::size_t i = 0;
    const auto cont = [&](std::size_t k) {
        return k < in.size() && (static_cast<unsigned char>(in[k]) & 0xC0) == 0x80;
    };
    while (i < in.size()) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        char32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (b0 < 0x80) {
            cp = b0;
        } else if (b0 >= 0xC2 && b0 < 0xE0 && cont(i + 1)) {
            cp = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(in[i + 1]) & 0x3Fu);
            len = 2;
        } else if (b0 >= 0xE0 && b0 < 0xF0 && cont(i + 1) && cont(i + 2)) {
            const char32_t c = ((b0 & 0x0Fu) << 12) |
                               ((static_cast<unsigned char>(in[i + 1]) & 0x3Fu) << 6) |
                               (static_cast<unsigned char>(in[i + 2]) & 0x3Fu);
            if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
                cp = c;
                len = 3;
            }
        } else if (b0 >= 0xF0 && b0 < 0xF5 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
            const char32_t c = ((b0 & 0x07u) << 18) |
                               ((static_cast<unsigned char>(in[i + 1]) & 0x3Fu) << 12) |
                               ((static_cast<unsigned char>(in[i + 2]) & 0x3Fu) << 6) |
                               (static_cast<unsigned char>(in[i + 3]) & 0x3Fu);
            if (c >= 0x10000 && c <= 0x10FFFF) {
                cp = c;
                len = 4;
            }
        }
        if (cp < 0x10000) {
            out.push_back(static_cast<char16_t>(cp));
        } else {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        }
        i += len;
    }
    return out;
}

} // namespace

// The scroll and momentum state, shared between the injector's thread (scroll calls), the
// momentum queue (ticks) and the diagnostics readers. One mutex guards all of it, and is held
// across the posts of a scroll call and of a tick: that keeps a tick's events from interleaving
// with a scroll's, and a tick that runs after a stop sees the new generation and posts nothing.
struct CGEventSink::Scroller : std::enable_shared_from_this<CGEventSink::Scroller> {
    struct Delta {
        double x = 0;
        double y = 0;
    };

    Scroller(std::shared_ptr<platform::EventPoster> p, platform::Defaults& d,
             std::shared_ptr<const InputGate> g)
        : poster(std::move(p)), defaults(d), gate(std::move(g)) {}

    std::shared_ptr<platform::EventPoster> poster;
    platform::Defaults& defaults;
    std::shared_ptr<const InputGate> gate;

    mutable std::mutex mutex;
    double totalScrolledY = 0;
    double peakGain = 0;
    std::array<Delta, 4> recent{}; // oldest first
    std::size_t recentCount = 0;
    std::shared_ptr<platform::TimerHandle> timer;
    double vx = 0;
    double vy = 0;
    bool started = false;
    // Bumped by every stop; a tick only acts when it still carries the current generation.
    std::uint64_t generation = 0;
    bool gestureSeriesActive = false;

    // Caller holds the mutex. Returns the timer to cancel once the mutex is released (a
    // scheduler's cancel may wait for its queue, which may be waiting for this mutex).
    [[nodiscard]] std::shared_ptr<platform::TimerHandle> stopLocked() {
        ++generation;
        started = false;
        return std::exchange(timer, nullptr);
    }

    void recordLocked(double sx, double sy) {
        if (recentCount == recent.size()) {
            std::move(recent.begin() + 1, recent.end(), recent.begin());
            --recentCount;
        }
        recent[recentCount++] = {sx, sy};
    }

    bool emit(const Event& e) { return emitTo(*poster, e); }

    void companionBeganLocked(double dx, double dy) {
        if (!gestureSeriesActive) {
            emit(scrollGestureEvent(EventPhase::mayBegin, 0, 0));
            emit(seriesEvent(GestureKind::seriesBegin));
            gestureSeriesActive = true;
        }
        emit(scrollGestureEvent(EventPhase::began, dx, dy));
    }

    void companionEndedLocked(double dx, double dy) {
        emit(scrollGestureEvent(EventPhase::ended, dx, dy));
        emit(seriesEvent(GestureKind::seriesEnd));
        gestureSeriesActive = false;
    }

    double decay() const {
        const auto d = defaults.number("momentumDecay");
        return d && *d > 0 ? *d : kDefaultDecay;
    }

    void tick(std::uint64_t gen) {
        std::shared_ptr<platform::TimerHandle> finished;
        {
            std::lock_guard lock(mutex);
            if (gen != generation) {
                return; // stopped before this tick got the lock
            }
            if (!gate->isOpen()) {
                // The screen locked while the content was still gliding: the glide ends here,
                // without another event.
                finished = stopLocked();
            } else {
                tickLocked(finished);
            }
        }
        if (finished) {
            finished->cancel();
        }
    }

    // Caller holds the mutex; sets `finished` when the momentum has run out.
    void tickLocked(std::shared_ptr<platform::TimerHandle>& finished) {
        const double d = decay();
        // With a decay above 1 the velocity grows without end; keeping it in the int32
        // range keeps every rounded delta convertible (the momentum then runs at that
        // speed until the next scroll stops it).
        vx = clampToInt32Range(vx * d);
        vy = clampToInt32Range(vy * d);
        const std::int32_t rx = roundToInt32(vx);
        const std::int32_t ry = roundToInt32(vy);
        if (rx == 0 && ry == 0) {
            Event end = wheelEvent(0, 0);
            end.setIntegerField(EventField::momentumPhase, MomentumPhase::end);
            emit(end);
            finished = stopLocked();
        } else {
            const std::int64_t phase = started ? MomentumPhase::proceed : MomentumPhase::begin;
            started = true;
            totalScrolledY += std::abs(static_cast<double>(ry));
            Event e = wheelEvent(ry, rx);
            e.setIntegerField(EventField::momentumPhase, phase);
            emit(e);
        }
    }

    // Caller holds the mutex. Returns the previous timer to cancel after unlocking.
    [[nodiscard]] std::shared_ptr<platform::TimerHandle>
    startMomentumLocked(bool enabled, platform::Scheduler& scheduler) {
        auto previous = stopLocked();
        if (!enabled || recentCount == 0) {
            return previous;
        }
        double sumX = 0;
        double sumY = 0;
        for (std::size_t i = 0; i < recentCount; ++i) {
            sumX += recent[i].x;
            sumY += recent[i].y;
        }
        vx = sumX / static_cast<double>(recentCount);
        vy = sumY / static_cast<double>(recentCount);
        recentCount = 0;
        if (std::abs(vx) < kMomentumThreshold && std::abs(vy) < kMomentumThreshold) {
            return previous;
        }
        started = false;
        const std::uint64_t gen = generation;
        std::weak_ptr<Scroller> weak = weak_from_this();
        timer = scheduler.scheduleRepeating(kMomentumFirstDelay, kMomentumInterval, [weak, gen] {
            if (auto self = weak.lock()) {
                self->tick(gen);
            }
        });
        return previous;
    }
};

CGEventSink::CGEventSink(std::shared_ptr<platform::EventPoster> poster,
                         std::shared_ptr<const platform::DisplayGeometry> geometry,
                         std::shared_ptr<platform::OverviewOpener> overview,
                         platform::Defaults& defaults,
                         std::shared_ptr<platform::Scheduler> momentumScheduler,
                         std::shared_ptr<const InputGate> gate)
    : poster_(std::move(poster)), geometry_(std::move(geometry)), overview_(std::move(overview)),
      defaults_(defaults), gate_(gate ? std::move(gate) : std::make_shared<InputGate>()),
      momentumScheduler_(std::move(momentumScheduler)),
      scroller_(std::make_shared<Scroller>(poster_, defaults_, gate_)) {
    if (!momentumScheduler_) {
        momentumScheduler_ = std::make_shared<platform::SerialQueue>(kMomentumQueueLabel);
    }
}

CGEventSink::~CGEventSink() {
    std::shared_ptr<platform::TimerHandle> timer;
    {
        std::lock_guard lock(scroller_->mutex);
        timer = scroller_->stopLocked();
    }
    if (timer) {
        timer->cancel();
    }
}

std::uint64_t CGEventSink::eventFlags(KeyModifiers modifiers) noexcept {
    std::uint64_t flags = 0;
    for (const auto& m : kModifierKeys) {
        if (modifiers.contains(m.member)) {
            flags |= m.flag;
        }
    }
    return flags;
}

bool CGEventSink::emit(const Event& event) {
    return emitTo(*poster_, event);
}

platform::Rect CGEventSink::screenBounds() const {
    return geometry_->mainBounds();
}

KeyModifiers CGEventSink::activeModifiers() const {
    return modifierState_.load(std::memory_order_relaxed);
}

void CGEventSink::moveCursor(Point to) {
    // A non-finite point is on no screen: the move is dropped and nothing changes.
    if (!std::isfinite(to.x) || !std::isfinite(to.y)) {
        return;
    }
    const auto kind =
        DragStateResolver::moveEventType(pressedButtons_.load(std::memory_order_relaxed));
    Event e = mouseEvent(kind.type, to, kind.button, eventFlags(activeModifiers()));
    if (const std::optional<Point> previous = lastMovePoint_.load()) {
        // Points are finite, but their difference can still overflow or exceed the int64
        // range for absurd coordinates: then the delta fields stay unset.
        const double dx = std::round(to.x - previous->x);
        const double dy = std::round(to.y - previous->y);
        if (std::abs(dx) < kInt64Limit && std::abs(dy) < kInt64Limit) {
            e.setIntegerField(EventField::mouseDeltaX, static_cast<std::int64_t>(dx));
            e.setIntegerField(EventField::mouseDeltaY, static_cast<std::int64_t>(dy));
        }
    }
    if (!poster_->canCreate(e)) {
        return;
    }
    lastMovePoint_.store(to);
    poster_->post(e);
}

void CGEventSink::resetButtonState() {
    pressedButtons_.store({}, std::memory_order_relaxed);
    lastMovePoint_.reset();
    modifierState_.store({}, std::memory_order_relaxed);
    // What the platform still holds beyond the releases the injector has just posted (keys
    // it counted, lock keys toggled from the tablet).
    poster_->releaseAll();
}

namespace {
struct ButtonEvents {
    EventType down;
    EventType up;
    int number;
};
ButtonEvents buttonEvents(MouseButton b) {
    switch (b) {
    case MouseButton::left:
        return {EventType::leftMouseDown, EventType::leftMouseUp, 0};
    case MouseButton::right:
        return {EventType::rightMouseDown, EventType::rightMouseUp, 1};
    case MouseButton::middle:
        return {EventType::otherMouseDown, EventType::otherMouseUp, 2};
    }
    return {EventType::leftMouseDown, EventType::leftMouseUp, 0};
}
} // namespace

void CGEventSink::mouseButton(MouseButton button, bool isDown, Point at) {
    MouseButtonSet pressed = pressedButtons_.load(std::memory_order_relaxed);
    if (isDown) {
        pressed.insert(button);
    } else {
        pressed.remove(button);
    }
    pressedButtons_.store(pressed, std::memory_order_relaxed);
    // The button state above is kept either way; a non-finite point gets no event and does not
    // become the last move point.
    if (!std::isfinite(at.x) || !std::isfinite(at.y)) {
        return;
    }
    lastMovePoint_.store(at);
    const auto types = buttonEvents(button);
    emit(mouseEvent(isDown ? types.down : types.up, at, types.number,
                    eventFlags(activeModifiers())));
}

void CGEventSink::multiClick(MouseButton button, std::int64_t clickCount, Point at) {
    if (!std::isfinite(at.x) || !std::isfinite(at.y)) {
        return;
    }
    const auto types = buttonEvents(button);
    const std::uint64_t flags = eventFlags(activeModifiers());
    const std::int64_t n = std::max<std::int64_t>(clickCount, 1);
    for (std::int64_t i = 1; i <= n; ++i) {
        Event down = mouseEvent(types.down, at, types.number, flags);
        Event up = mouseEvent(types.up, at, types.number, flags);
        down.setIntegerField(EventField::mouseClickState, i);
        up.setIntegerField(EventField::mouseClickState, i);
        // A click that cannot be made whole ends the series: no lone down or up is posted.
        if (!poster_->canCreate(down) || !poster_->canCreate(up)) {
            return;
        }
        poster_->post(down);
        poster_->post(up);
    }
}

void CGEventSink::postModifierKeys(KeyModifiers modifiers, bool isDown) {
    for (const auto& m : kModifierKeys) {
        if (modifiers.contains(m.member)) {
            emit(keyEvent(m.keyCode, isDown, 0));
        }
    }
}

void CGEventSink::setModifier(KeyModifiers modifiers, bool isDown) {
    const KeyModifiers state = modifierState_.load(std::memory_order_relaxed);
    modifierState_.store(isDown ? state | modifiers : state - modifiers, std::memory_order_relaxed);
    postModifierKeys(modifiers, isDown);
}

void CGEventSink::postKey(std::uint16_t keyCode, bool down, std::uint64_t flags) {
    emit(keyEvent(keyCode, down, flags));
}

void CGEventSink::keyCombo(std::uint16_t keyCode, KeyModifiers modifiers) {
    const std::uint64_t flags = eventFlags(modifiers);
    if (!modifiers.isEmpty()) {
        setModifier(modifiers, true);
    }
    postKey(keyCode, true, flags);
    postKey(keyCode, false, flags);
    if (!modifiers.isEmpty()) {
        // Also drops modifiers that were held before the combination (a latched modifier):
        // the key-up events above have released them on the platform anyway.
        setModifier(modifiers, false);
    }
}

void CGEventSink::typeText(std::string_view text) {
    const std::u16string units = utf16FromUtf8(text);
    // Chunks are cut by code units; a boundary may split a surrogate pair, which the platform
    // reassembles from consecutive events.
    for (std::size_t at = 0; at < units.size(); at += kTextChunk) {
        if (!gate_->isOpen()) {
            return; // the screen locked while typing: not one more chunk
        }
        const std::u16string_view chunk =
            std::u16string_view(units).substr(at, std::min(kTextChunk, units.size() - at));
        Event down = keyEvent(0, true, 0);
        Event up = keyEvent(0, false, 0);
        down.unicode.assign(chunk);
        up.unicode.assign(chunk);
        if (!poster_->canCreate(down) || !poster_->canCreate(up)) {
            continue; // this chunk is lost; the next ones still go out
        }
        poster_->post(down);
        poster_->post(up);
    }
}

void CGEventSink::showDesktop() {
    postKey(kShowDesktopKey, true, 0);
    postKey(kShowDesktopKey, false, 0);
}

void CGEventSink::navigationSwipe(TrackpadGesture gesture) {
    switch (gesture) {
    case TrackpadGesture::threeFingerUp:
        if (overview_) {
            overview_->openOverview();
        }
        return;
    case TrackpadGesture::threeFingerDown:
        keyCombo(KeyCode::downArrow, KeyModifiers::control);
        return;
    case TrackpadGesture::threeFingerLeft:
        switchSpace(false);
        return;
    case TrackpadGesture::threeFingerRight:
        switchSpace(true);
        return;
    default:
        return;
    }
}

void CGEventSink::switchSpace(bool toRight) {
    // The smallest positive single-precision value, 2^-149, as a double.
    const double tiny = static_cast<double>(std::numeric_limits<float>::denorm_min());
    const auto postPair = [this](const Event& first, const Event& second) {
        // Both halves or neither.
        if (poster_->canCreate(first) && poster_->canCreate(second)) {
            poster_->post(first);
            poster_->post(second);
        }
    };
    for (const std::int64_t phase : {EventPhase::began, EventPhase::changed, EventPhase::ended}) {
        Event a = dockEvent(static_cast<std::int64_t>(EventType::dockControl));
        a.setIntegerField(EventField::gestureKind, GestureKind::dockSwipe);
        a.setIntegerField(EventField::gesturePhase, phase);
        a.setIntegerField(EventField::dockSwipeDirection, toRight
                                                              ? platform::DockSwipeDirection::right
                                                              : platform::DockSwipeDirection::left);
        a.setIntegerField(EventField::dockSwipeMotion, 1); // horizontal
        a.setDoubleField(EventField::gestureScrollY, 0.0);
        a.setDoubleField(EventField::dockSwipeTiny, tiny);
        postPair(a, dockEvent(static_cast<std::int64_t>(EventType::gesture)));

        Event c = dockEvent(static_cast<std::int64_t>(EventType::dockControl));
        c.setIntegerField(EventField::gestureKind, GestureKind::dockSwipe);
        c.setIntegerField(EventField::gesturePhase, phase);
        c.setDoubleField(EventField::dockSwipeProgress, toRight ? -1.0 : 1.0);
        c.setIntegerField(EventField::dockSwipeMotion, 1);
        c.setIntegerField(EventField::dockSwipePhase, phase);
        c.setDoubleField(EventField::dockSwipeVelocity, 3.0);
        c.setDoubleField(EventField::dockSwipeTimestamp, systemUptimeNanoseconds());
        c.setDoubleField(EventField::dockSwipeStep, 0.1);
        if (phase == EventPhase::ended) {
            c.setDoubleField(EventField::dockSwipeEnd, toRight ? -9999.0 : 9999.0);
        }
        postPair(c, dockEvent(static_cast<std::int64_t>(EventType::gesture)));
    }
}

void CGEventSink::scroll(double dx, double dy, ScrollPhase phase) {
    // A non-finite delta from the wire is treated as no movement on that axis.
    if (!std::isfinite(dx)) {
        dx = 0;
    }
    if (!std::isfinite(dy)) {
        dy = 0;
    }
    if (!gate_->isOpen()) {
        return; // a probe still running while the screen is locked
    }
    const auto storedGain = defaults_.number("scrollGain");
    const double gain = storedGain && *storedGain > 0 ? *storedGain : kDefaultGain;
    double sx = dx * gain;
    double sy = dy * gain;
    if (defaults_.boolean("invertScrollX").value_or(false)) {
        sx = -sx;
    }
    if (defaults_.boolean("invertScrollY").value_or(false)) {
        sy = -sy;
    }
    // Huge deltas (1e30 from the wire, or a huge gain) are clamped to the int32 range here.
    sx = clampToInt32Range(sx);
    sy = clampToInt32Range(sy);
    const std::int32_t rx = roundToInt32(sx);
    const std::int32_t ry = roundToInt32(sy);
    const bool momentumEnabled =
        phase == ScrollPhase::ended ? defaults_.boolean("momentumEnabled").value_or(true) : true;

    Scroller& s = *scroller_;
    std::shared_ptr<platform::TimerHandle> toCancel;
    {
        std::lock_guard lock(s.mutex);
        s.peakGain = std::max(s.peakGain, gain);
        switch (phase) {
        case ScrollPhase::began: {
            toCancel = s.stopLocked();
            s.recentCount = 0;
            Event mayBegin = wheelEvent(0, 0);
            mayBegin.setIntegerField(EventField::scrollPhase, EventPhase::mayBegin);
            if (s.emit(mayBegin)) {
                s.emit(scrollGestureEvent(EventPhase::changed, 0, 0));
            }
            Event began = wheelEvent(ry, rx);
            began.setIntegerField(EventField::scrollPhase, EventPhase::began);
            if (s.emit(began)) {
                s.companionBeganLocked(sx, sy);
            }
            s.recordLocked(sx, sy);
            s.totalScrolledY += std::abs(sy);
            break;
        }
        case ScrollPhase::changed:
        case ScrollPhase::momentum: {
            Event changed = wheelEvent(ry, rx);
            changed.setIntegerField(EventField::scrollPhase, EventPhase::changed);
            if (s.emit(changed)) {
                s.emit(scrollGestureEvent(EventPhase::changed, sx, sy));
            }
            s.recordLocked(sx, sy);
            s.totalScrolledY += std::abs(sy);
            break;
        }
        case ScrollPhase::ended: {
            Event ended = wheelEvent(0, 0);
            ended.setIntegerField(EventField::scrollPhase, EventPhase::ended);
            if (s.emit(ended)) {
                s.companionEndedLocked(0, 0);
            }
            toCancel = s.startMomentumLocked(momentumEnabled, *momentumScheduler_);
            break;
        }
        }
    }
    if (toCancel) {
        toCancel->cancel();
    }
}

void CGEventSink::magnify(double scale, ScrollPhase phase) {
    // A non-finite zoom amount means nothing to the receiver: the event is dropped.
    if (!std::isfinite(scale) || !gate_->isOpen()) {
        return;
    }
    emit(zoomEvent(scale, gesturePhaseOf(phase)));
}

void CGEventSink::smartZoom() {
    Event first = gestureEvent(GestureKind::smartZoom);
    first.setIntegerField(EventField::gesturePhase, EventPhase::began);
    emit(first);
    Event second = gestureEvent(GestureKind::smartZoom);
    second.setIntegerField(EventField::gesturePhase, EventPhase::ended);
    emit(second);
}

void CGEventSink::magnifyProbe() {
    emit(zoomEvent(0.0, EventPhase::began));
    for (int i = 0; i < 12; ++i) {
        if (!gate_->isOpen()) {
            return; // locked: not another event, the end included
        }
        emit(zoomEvent(0.08, EventPhase::changed));
        std::this_thread::sleep_for(std::chrono::microseconds(16000));
    }
    emit(zoomEvent(0.0, EventPhase::ended));
}

double CGEventSink::totalScrolledY() const {
    std::lock_guard lock(scroller_->mutex);
    return scroller_->totalScrolledY;
}

void CGEventSink::setTotalScrolledY(double value) {
    std::lock_guard lock(scroller_->mutex);
    scroller_->totalScrolledY = value;
}

double CGEventSink::peakGain() const {
    std::lock_guard lock(scroller_->mutex);
    return scroller_->peakGain;
}

void CGEventSink::setPeakGain(double value) {
    std::lock_guard lock(scroller_->mutex);
    scroller_->peakGain = value;
}

std::pair<double, double> CGEventSink::scrollStats() const {
    std::lock_guard lock(scroller_->mutex);
    return {scroller_->totalScrolledY, scroller_->peakGain};
}

void CGEventSink::resetScrollStats() {
    std::lock_guard lock(scroller_->mutex);
    scroller_->totalScrolledY = 0;
    scroller_->peakGain = 0;
}

bool CGEventSink::momentumRunning() const {
    std::lock_guard lock(scroller_->mutex);
    return scroller_->timer != nullptr;
}

} // namespace quillon
