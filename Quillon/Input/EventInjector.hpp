#pragma once

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/Geometry.hpp"
#include "Quillon/Input/EventSink.hpp"
#include "Quillon/Input/GestureMapper.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace quillon {

// One input held down through the injector: a mouse button, or a whole modifier mask.
struct PressedInput {
    enum class Kind : std::uint8_t { mouse = 0, modifier = 1 };

    Kind kind = Kind::mouse;
    wire::MouseButton button = wire::MouseButton::left; // mouse only
    wire::KeyModifiers modifiers;                       // modifier only

    static PressedInput mouse(wire::MouseButton b) noexcept { return {Kind::mouse, b, {}}; }
    static PressedInput modifier(wire::KeyModifiers m) noexcept {
        return {Kind::modifier, wire::MouseButton::left, m};
    }

    // Held inputs are released in ascending order of this key: buttons first (left, right,
    // middle), then modifier masks in ascending numeric order.
    std::uint32_t releaseKey() const noexcept {
        return kind == Kind::mouse ? static_cast<std::uint32_t>(wire::rawValue(button))
                                   : 65536u + modifiers.rawValue;
    }

    // By case and payload.
    bool operator==(const PressedInput& o) const noexcept {
        if (kind != o.kind) {
            return false;
        }
        return kind == Kind::mouse ? button == o.button : modifiers == o.modifiers;
    }
};

// The inputs currently held. Kept in a small vector (a handful of elements at most) whose
// storage is reused, so pressing and releasing do not allocate once it has grown.
class PressedInputSet {
public:
    // True when the input was not yet held.
    bool press(const PressedInput& input);
    // True when the input was held.
    bool release(const PressedInput& input);
    // Every held input in release order; the set is left empty.
    std::vector<PressedInput> drainAll();
    bool contains(const PressedInput& input) const;
    bool isEmpty() const noexcept { return pressed_.empty(); }
    std::size_t count() const noexcept { return pressed_.size(); }

private:
    std::vector<PressedInput> pressed_;
};

// Turns input messages into event-sink calls, keeping the state that outlives one message: the
// injector's own cursor (never read back from the system), held buttons and modifiers, and
// latched sticky modifiers. Every handle() and releaseAll() runs under one lock, held across
// the sink calls, so each message's events appear atomically. The sink must not call back.
class EventInjector {
public:
    // The cursor starts at the centre of the sink's screen bounds. `defaults` (for
    // "disablePinch") must outlive the injector.
    EventInjector(std::shared_ptr<EventSink> sink, GestureMapper gestureMapper,
                  platform::Defaults& defaults);
    ~EventInjector();
    EventInjector(const EventInjector&) = delete;
    EventInjector& operator=(const EventInjector&) = delete;

    // Applies one message. Never fails.
    void handle(const wire::ControlMessage& message);
    // Releases every held button and modifier, then clears the sink's button state. The cursor
    // stays.
    void releaseAll();
    platform::Point currentCursor() const;

    // Scroll self-test on a background thread: began, 20 changes of -3 points (8 ms apart when
    // `fast`, else 24 ms), ended; then `completion` (on that thread). Returns at once. The
    // sink is kept alive until the test has finished.
    void probeScroll(bool fast, std::function<void()> completion = {});
    // The sink's zoom probe on the caller's thread, when the sink is a CGEventSink.
    void probeMagnify();
    // Diagnostics of a CGEventSink; nothing, or (0, 0), for other sinks. Without the lock.
    void resetScrollStats();
    std::pair<double, double> scrollStats() const;

    const std::shared_ptr<EventSink>& sink() const noexcept { return sink_; }

    // The diagnostics line written when a message of the application catalog reaches the
    // injector (the coordinator should have routed it elsewhere).
    static std::string misroutedLine(const wire::ControlMessage& message);

private:
    void handleLocked(const wire::ControlMessage& message);
    void setStickyModifiersLocked(wire::KeyModifiers next);
    void gestureLocked(wire::TrackpadGesture gesture);

    mutable std::mutex lock_;
    std::shared_ptr<EventSink> sink_;
    GestureMapper gestureMapper_;
    platform::Defaults& defaults_;
    PressedInputSet pressed_;
    platform::Point cursor_;
    wire::KeyModifiers stickyModifiers_;
};

} // namespace quillon

template <> struct std::hash<quillon::PressedInput> {
    // Feeds the case index, then the payload's raw value.
    std::size_t operator()(const quillon::PressedInput& p) const noexcept {
        const std::size_t payload = p.kind == quillon::PressedInput::Kind::mouse
                                        ? quillon::wire::rawValue(p.button)
                                        : p.modifiers.rawValue;
        return (static_cast<std::size_t>(p.kind) << 17) ^ payload;
    }
};
