#include "Platform/Input/EventTranslator.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Locale/Translation.hpp"

#include <cmath>
#include <set>

namespace quillon::platform {

InputSettings readInputSettings(const Defaults& defaults) {
    InputSettings s;
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

constexpr std::uint64_t kModifierFlags =
    EventFlags::shift | EventFlags::control | EventFlags::alternate | EventFlags::command;
constexpr double kDefaultPixelsPerClick = 10;
// Typed text is handed to the backend in runs of at most this many code points: a sink chunk
// is 20 UTF-16 units, so one run per event in practice, and the buffer never grows past it.
constexpr std::size_t kTextRun = 64;

// A missing key is logged once per process and key code, however many translators there are.
void logMissingKeyOnce(std::uint16_t macKey) {
    static std::mutex mutex;
    static std::set<std::uint16_t> logged;
    {
        std::lock_guard lock(mutex);
        if (!logged.insert(macKey).second) {
            return;
        }
    }
    DiagLog::write(i18n::fill(i18n::tr("[input] key code {1} has no key on Linux; ignored"),
                              {std::to_string(macKey)}));
}

bool isNonCharacter(char32_t cp) {
    return (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE;
}

bool isHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
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

std::uint8_t lockBit(int code) {
    switch (code) {
    case EvdevKey::capsLock:
        return 1;
    case EvdevKey::numLock:
        return 2;
    case EvdevKey::scrollLock:
        return 4;
    default:
        return 0;
    }
}

} // namespace

EventTranslator::EventTranslator(std::unique_ptr<InputBackend> backend, SettingsSource settings)
    : backend_(std::move(backend)), settings_(std::move(settings)) {
    pendingText_.reserve(kTextRun);
}

EventTranslator::~EventTranslator() = default;

bool EventTranslator::canCreate(const Event&) {
    // A backend without its display server drops what it is given and says why through
    // permission(); there is nothing to refuse here, and no lock to take per event.
    return true;
}

void EventTranslator::post(const Event& event) {
    const bool batched = EventBatch::active();
    {
        std::lock_guard lock(mutex_);
        translate(event);
        if (!batched) {
            backend_->flush();
        }
    }
    if (batched) {
        EventBatch::flushLater(this);
    }
}

void EventTranslator::flush() {
    std::lock_guard lock(mutex_);
    backend_->flush();
}

void EventTranslator::sync() {
    std::lock_guard lock(mutex_);
    backend_->sync();
}

void EventTranslator::releaseAll() {
    std::lock_guard lock(mutex_);
    backend_->releaseAll();
    // A lock key pressed from the tablet toggled the keyboard's state: press it once more so
    // the state the user left behind is not the tablet's.
    for (const int code : {EvdevKey::capsLock, EvdevKey::numLock, EvdevKey::scrollLock}) {
        if ((lockToggles_ & lockBit(code)) != 0) {
            tapKey(code);
        }
    }
    lockToggles_ = 0;
    keyCount_.fill(0);
    buttonDown_.fill(false);
    showDesktopKeyDown_ = false;
    pendingHigh_ = 0;
    lastWasCR_ = false;
    backend_->flush();
}

void EventTranslator::openOverview() {
    const bool batched = EventBatch::active();
    {
        std::lock_guard lock(mutex_);
        backend_->openOverview();
        if (!batched) {
            backend_->flush();
        }
    }
    if (batched) {
        EventBatch::flushLater(this);
    }
}

InputPermission EventTranslator::permission() const {
    std::lock_guard lock(mutex_);
    return backend_->permission();
}

std::string_view EventTranslator::backendName() const {
    return backend_->name();
}

std::uint64_t EventTranslator::droppedCount() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

std::pair<double, double> EventTranslator::scrollRemainder() const {
    std::lock_guard lock(mutex_);
    return {accY_, accX_};
}

// --- translation (mutex held) -------------------------------------------------------------

void EventTranslator::translate(const Event& e) {
    switch (e.type) {
    case EventType::mouseMoved:
    case EventType::leftMouseDragged:
    case EventType::rightMouseDragged:
    case EventType::otherMouseDragged:
        backend_->movePointerTo(e.location);
        return;
    case EventType::leftMouseDown:
    case EventType::leftMouseUp:
        button(PointerButton::left, e.type == EventType::leftMouseDown, e.location);
        return;
    case EventType::rightMouseDown:
    case EventType::rightMouseUp:
        button(PointerButton::right, e.type == EventType::rightMouseDown, e.location);
        return;
    case EventType::otherMouseDown:
    case EventType::otherMouseUp:
        if (e.mouseButton == 2) { // the centre button; others have no wire counterpart
            button(PointerButton::middle, e.type == EventType::otherMouseDown, e.location);
        } else {
            ++dropped_;
        }
        return;
    case EventType::keyDown:
    case EventType::keyUp:
    case EventType::flagsChanged:
        key(e);
        return;
    case EventType::scrollWheel:
        scroll(e);
        return;
    case EventType::gesture:
        gesture(e);
        return;
    case EventType::dockControl:
        dockControl(e);
        return;
    case EventType::null: {
        // Dock swipes are created blank and typed through the event-type field.
        const auto type = e.integerField(EventField::eventType);
        if (type == static_cast<std::int64_t>(EventType::dockControl)) {
            dockControl(e);
        } else if (type == static_cast<std::int64_t>(EventType::gesture)) {
            gesture(e);
        }
        return;
    }
    }
}

void EventTranslator::button(int code, bool down, Point at) {
    backend_->movePointerTo(at);
    const std::size_t i = static_cast<std::size_t>(code - PointerButton::left);
    if (buttonDown_[i] == down) {
        return; // a second press of a held button, or a release of one not held
    }
    buttonDown_[i] = down;
    backend_->button(code, down);
}

void EventTranslator::keyCode(int code, bool down) {
    if (code < 0 || code >= EvdevKey::count) {
        ++dropped_;
        return;
    }
    auto& n = keyCount_[static_cast<std::size_t>(code)];
    if (down) {
        if (n++ == 0) {
            backend_->key(code, true);
            lockToggles_ ^= lockBit(code);
        }
    } else if (n > 0 && --n == 0) {
        backend_->key(code, false);
    }
}

void EventTranslator::tapKey(int code) {
    backend_->key(code, true);
    backend_->key(code, false);
}

void EventTranslator::key(const Event& e) {
    const bool flagsChanged = e.type == EventType::flagsChanged;
    bool down = e.type == EventType::keyDown;
    if (flagsChanged) {
        const std::uint64_t flag = macModifierFlag(e.keyCode);
        down = flag != 0 ? (e.flags & flag) != 0 : e.keyDown;
    }
    if (!e.unicode.empty() && !flagsChanged) {
        if (down) {
            text(e.unicode);
        }
        return;
    }
    // Plain F11 is "show desktop" on the Mac, and exactly what the sink posts for it.
    if (e.keyCode == MacKey::f11 && !flagsChanged) {
        if (down && (e.flags & kModifierFlags) == 0) {
            showDesktopKeyDown_ = true;
            backend_->toggleShowDesktop();
            return;
        }
        if (!down && showDesktopKeyDown_) {
            showDesktopKeyDown_ = false;
            return;
        }
    }
    current_ = settings_ ? settings_() : InputSettings{};
    const auto code = linuxKeyForMacKey(e.keyCode, current_.command);
    if (!code) {
        ++dropped_;
        logMissingKeyOnce(e.keyCode);
        return;
    }
    keyCode(*code, down);
}

// Text arrives in chunks of UTF-16 code units that may split a surrogate pair; a high
// surrogate at the end of one chunk waits for the low one at the start of the next.
void EventTranslator::text(const std::u16string& units) {
    for (const char16_t u : units) {
        if (pendingHigh_ != 0) {
            const char16_t h = pendingHigh_;
            pendingHigh_ = 0;
            if (isLowSurrogate(u)) {
                typeCodePoint(0x10000 + ((static_cast<char32_t>(h) - 0xD800) << 10) +
                              (static_cast<char32_t>(u) - 0xDC00));
                continue;
            }
            ++dropped_; // a lone high surrogate
        }
        if (isHighSurrogate(u)) {
            pendingHigh_ = u;
        } else if (isLowSurrogate(u)) {
            ++dropped_; // a lone low surrogate
        } else {
            typeCodePoint(u);
        }
    }
    flushText();
}

void EventTranslator::typeCodePoint(char32_t cp) {
    const bool afterCR = lastWasCR_;
    lastWasCR_ = cp == U'\r';
    if (cp == U'\n' && afterCR) {
        return; // CR LF is one line break
    }
    if (cp == U'\r' || cp == U'\n' || cp == U'\t') {
        flushText();
        // Text carries no modifiers: a held Control (latched Command) must not turn the line
        // break into a shortcut. Lifted around the key, put back after it.
        for (int code = 0; code < EvdevKey::count; ++code) {
            if (keyCount_[static_cast<std::size_t>(code)] > 0 && isModifierKey(code)) {
                backend_->key(code, false);
            }
        }
        tapKey(cp == U'\t' ? EvdevKey::tab : EvdevKey::enter);
        for (int code = 0; code < EvdevKey::count; ++code) {
            if (keyCount_[static_cast<std::size_t>(code)] > 0 && isModifierKey(code)) {
                backend_->key(code, true);
            }
        }
        return;
    }
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || isNonCharacter(cp) || cp > 0x10FFFF) {
        ++dropped_; // control characters and non-characters type nothing
        return;
    }
    if (pendingText_.size() == kTextRun) {
        flushText();
    }
    pendingText_.push_back(cp);
}

void EventTranslator::flushText() {
    if (!pendingText_.empty()) {
        backend_->typeText(pendingText_);
        pendingText_.clear();
    }
}

void EventTranslator::scroll(const Event& e) {
    current_ = settings_ ? settings_() : InputSettings{};
    double perClick = current_.scrollPixelsPerClick;
    if (!(perClick > 0) || !std::isfinite(perClick)) {
        perClick = kDefaultPixelsPerClick;
    }
    // Line-based wheel events count whole clicks.
    const double unit = e.scrollUnit == ScrollUnit::line ? perClick : 1.0;
    const double perUnit = perClick / kWheelUnitsPerClick;
    constexpr double maxUnits = static_cast<double>(kMaxClicksPerEvent) * kWheelUnitsPerClick;
    // A positive vertical delta moves the content down, as a wheel turned away from the user
    // does. A positive horizontal delta moves the content right, as a wheel turned left does:
    // the backend's horizontal sign is the other way round.
    const int vertical = takeSteps(accY_, e.wheel1 * unit, perUnit, maxUnits);
    const int horizontal = takeSteps(accX_, e.wheel2 * unit, perUnit, maxUnits);
    if (vertical != 0 || horizontal != 0) {
        backend_->wheel(vertical, -horizontal);
    }
}

void EventTranslator::gesture(const Event& e) {
    if (e.integerField(EventField::gestureKind) != GestureKind::zoom) {
        // Scroll companions, series begin/end, smart zoom and the bare gesture halves of dock
        // swipes have no Linux counterpart: the wheel events carry the scroll.
        return;
    }
    if (e.integerField(EventField::gesturePhase).value_or(0) == EventPhase::began) {
        zoomAcc_ = 0; // a new pinch starts from nothing
    }
    const int steps = takeSteps(zoomAcc_, e.doubleField(EventField::gestureZoomAmount).value_or(0),
                                kZoomPerStep, kMaxClicksPerEvent);
    if (steps != 0) {
        backend_->zoom(steps);
    }
}

void EventTranslator::dockControl(const Event& e) {
    if (e.integerField(EventField::gestureKind) != GestureKind::dockSwipe) {
        return;
    }
    if (e.integerField(EventField::gesturePhase).value_or(0) != EventPhase::ended) {
        swipeActed_ = false; // a swipe under way: act at its end
        return;
    }
    if (swipeActed_) {
        return; // the end phase comes in two events; one switch per swipe
    }
    int delta = 0;
    if (const auto direction = e.integerField(EventField::dockSwipeDirection)) {
        delta = *direction == DockSwipeDirection::right ? 1 : -1;
    } else if (const auto progress = e.doubleField(EventField::dockSwipeProgress)) {
        delta = *progress < 0 ? 1 : -1;
    }
    if (delta == 0) {
        return;
    }
    swipeActed_ = true;
    backend_->switchDesktop(delta);
}

} // namespace quillon::platform
