#include "Quillon/Input/EventInjector.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Input/CGEventSink.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <variant>

namespace quillon {

using platform::Point;
using wire::ControlMessage;
using wire::KeyModifiers;
using wire::TrackpadGesture;
namespace cm = wire::cm;

namespace {
template <class... F> struct Overloaded : F... { using F::operator()...; };
template <class... F> Overloaded(F...) -> Overloaded<F...>;

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
} // namespace

bool PressedInputSet::press(const PressedInput& input) {
    if (contains(input)) {
        return false;
    }
    pressed_.push_back(input);
    return true;
}

bool PressedInputSet::release(const PressedInput& input) {
    const auto it = std::find(pressed_.begin(), pressed_.end(), input);
    if (it == pressed_.end()) {
        return false;
    }
    pressed_.erase(it);
    return true;
}

std::vector<PressedInput> PressedInputSet::drainAll() {
    std::vector<PressedInput> out(pressed_.begin(), pressed_.end());
    pressed_.clear();
    std::sort(out.begin(), out.end(), [](const PressedInput& a, const PressedInput& b) {
        return a.releaseKey() < b.releaseKey();
    });
    return out;
}

bool PressedInputSet::contains(const PressedInput& input) const {
    return std::find(pressed_.begin(), pressed_.end(), input) != pressed_.end();
}

EventInjector::EventInjector(std::shared_ptr<EventSink> sink, GestureMapper gestureMapper,
                             platform::Defaults& defaults)
    : sink_(std::move(sink)), gestureMapper_(std::move(gestureMapper)), defaults_(defaults) {
    const platform::Rect bounds = sink_->screenBounds();
    cursor_ = {bounds.midX(), bounds.midY()};
}

EventInjector::~EventInjector() = default;

Point EventInjector::currentCursor() const {
    std::lock_guard lock(lock_);
    return cursor_;
}

std::string EventInjector::misroutedLine(const ControlMessage& message) {
    return i18n::fill(i18n::tr("[error] EventInjector received a message HostCoordinator should "
                               "have routed elsewhere: {1}; check the routing of receive"),
                      {message.description()});
}

void EventInjector::handle(const ControlMessage& message) {
    // The catalogue messages are routed elsewhere by the coordinator; one arriving here is a
    // routing bug worth a log line, and nothing else. Logged without the input lock.
    if (message.is<cm::ActivateApplication>() || message.is<cm::ListApplications>() ||
        message.is<cm::ApplicationList>()) {
        platform::DiagLog::write(misroutedLine(message));
        return;
    }
    std::lock_guard lock(lock_);
    handleLocked(message);
}

void EventInjector::handleLocked(const ControlMessage& message) {
    EventSink& sink = *sink_;
    std::visit(
        Overloaded{
            [&](const cm::PointerAbsolute& m) {
                // The 0...1 clamp lets NaN through; a NaN coordinate says nothing about where
                // the pointer should go, so the message is dropped. Infinities clamp to the
                // edges like any other out-of-range value.
                if (std::isnan(m.x) || std::isnan(m.y)) {
                    return;
                }
                const platform::Rect b = sink.screenBounds();
                cursor_ = {b.minX() + unitClamp(m.x) * b.width,
                           b.minY() + unitClamp(m.y) * b.height};
                sink.moveCursor(cursor_);
            },
            [&](const cm::PointerRelative& m) {
                // A NaN delta would make the cursor NaN for good: dropped. Infinite deltas
                // clamp to the edge.
                if (std::isnan(m.dx) || std::isnan(m.dy)) {
                    return;
                }
                const platform::Rect b = sink.screenBounds();
                cursor_ = {edgeClamp(cursor_.x + static_cast<double>(m.dx), b.minX(), b.maxX()),
                           edgeClamp(cursor_.y + static_cast<double>(m.dy), b.minY(), b.maxY())};
                sink.moveCursor(cursor_);
            },
            [&](const cm::MouseButton& m) {
                const auto input = PressedInput::mouse(m.button);
                const bool changed = m.isDown ? pressed_.press(input) : pressed_.release(input);
                if (!changed) {
                    return; // duplicate press, or release of a button not held
                }
                sink.mouseButton(m.button, m.isDown, cursor_);
            },
            [&](const cm::MultiClick& m) {
                sink.multiClick(m.button, static_cast<std::int64_t>(m.clickCount), cursor_);
            },
            [&](const cm::Scroll& m) {
                // Non-finite and huge deltas are the sink's to sanitise (it clamps them).
                sink.scroll(static_cast<double>(m.dx), static_cast<double>(m.dy), m.phase);
            },
            [&](const cm::Magnify& m) {
                // A non-finite scale is dropped by the sink.
                sink.magnify(static_cast<double>(m.scale), m.phase);
            },
            [&](const cm::Gesture& m) { gestureLocked(m.gesture); },
            [&](const cm::KeyCombo& m) { sink.keyCombo(m.keyCode, m.modifiers); },
            [&](const cm::TextInput& m) { sink.typeText(m.text); },
            [&](const cm::SetStickyModifiers& m) { setStickyModifiersLocked(m.modifiers); },
            // Messages of the other parts of the host: ignored without a trace.
            [&](const auto&) {},
        },
        message.value());
}

void EventInjector::gestureLocked(TrackpadGesture gesture) {
    switch (gesture) {
    case TrackpadGesture::threeFingerUp:
    case TrackpadGesture::threeFingerDown:
    case TrackpadGesture::threeFingerLeft:
    case TrackpadGesture::threeFingerRight:
        sink_->navigationSwipe(gesture);
        return;
    case TrackpadGesture::smartZoom:
        sink_->smartZoom();
        return;
    case TrackpadGesture::showDesktop:
        sink_->showDesktop();
        return;
    case TrackpadGesture::pinchIn:
    case TrackpadGesture::pinchOut:
        if (defaults_.boolean("disablePinch").value_or(false)) {
            return;
        }
        break;
    case TrackpadGesture::fourFingerPinchIn:
        break;
    }
    if (const auto binding = gestureMapper_.binding(gesture)) {
        sink_->keyCombo(binding->keyCode, binding->modifiers);
    }
}

void EventInjector::setStickyModifiersLocked(KeyModifiers next) {
    const KeyModifiers old = stickyModifiers_;
    if (next == old) {
        return;
    }
    const KeyModifiers released = old - next;
    if (!released.isEmpty()) {
        sink_->setModifier(released, false);
        // Only an element of exactly this mask; a wider group latched earlier stays and is
        // released again by releaseAll() (a harmless second key-up).
        pressed_.release(PressedInput::modifier(released));
    }
    const KeyModifiers pressed = next - old;
    if (!pressed.isEmpty()) {
        sink_->setModifier(pressed, true);
        pressed_.press(PressedInput::modifier(pressed));
    }
    stickyModifiers_ = next;
}

void EventInjector::releaseAll() {
    std::lock_guard lock(lock_);
    for (const PressedInput& item : pressed_.drainAll()) {
        if (item.kind == PressedInput::Kind::modifier) {
            sink_->setModifier(item.modifiers, false);
        } else {
            sink_->mouseButton(item.button, false, cursor_);
        }
    }
    if (!stickyModifiers_.isEmpty()) {
        sink_->setModifier(stickyModifiers_, false);
        stickyModifiers_ = {};
    }
    sink_->resetButtonState();
}

void EventInjector::probeScroll(bool fast, std::function<void()> completion) {
    // A detached thread of its own: the probe sleeps between steps and must not hold up the
    // caller (the main thread) or any queue. It calls the sink without the injector's lock,
    // which the sink's scroll path tolerates (it serialises its own scroll state).
    std::thread([sink = sink_, fast, completion = std::move(completion)]() mutable {
        const auto pause = std::chrono::microseconds(fast ? 8000 : 24000);
        sink->scroll(0, 0, wire::ScrollPhase::began);
        for (int i = 0; i < 20; ++i) {
            sink->scroll(0, -3.0, wire::ScrollPhase::changed);
            std::this_thread::sleep_for(pause);
        }
        sink->scroll(0, 0, wire::ScrollPhase::ended);
        sink.reset(); // not kept alive past the report
        if (completion) {
            completion();
        }
    }).detach();
}

void EventInjector::probeMagnify() {
    if (auto* cg = dynamic_cast<CGEventSink*>(sink_.get())) {
        cg->magnifyProbe();
    }
}

void EventInjector::resetScrollStats() {
    if (auto* cg = dynamic_cast<CGEventSink*>(sink_.get())) {
        cg->resetScrollStats();
    }
}

std::pair<double, double> EventInjector::scrollStats() const {
    if (const auto* cg = dynamic_cast<const CGEventSink*>(sink_.get())) {
        return cg->scrollStats();
    }
    return {0, 0};
}

} // namespace quillon
