#pragma once

#include "Platform/Display/Geometry.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace quillon::platform {

// Event types, numbered as the event stream numbers them.
enum class EventType : std::uint32_t {
    null = 0,
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    keyDown = 10,
    keyUp = 11,
    flagsChanged = 12,
    scrollWheel = 22,
    otherMouseDown = 25,
    otherMouseUp = 26,
    otherMouseDragged = 27,
    gesture = 29,
    dockControl = 30,
};

// Where an event is posted: the HID tap (0) or the session tap (1).
enum class EventTap : std::uint8_t { hid = 0, session = 1 };

enum class ScrollUnit : std::uint8_t { pixel = 0, line = 1 };

// Event flag bits of the four modifiers.
namespace EventFlags {
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t alternate = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
} // namespace EventFlags

// Numbered event fields used by the sink.
namespace EventField {
inline constexpr std::uint32_t mouseClickState = 1;
inline constexpr std::uint32_t mouseDeltaX = 4;
inline constexpr std::uint32_t mouseDeltaY = 5;
inline constexpr std::uint32_t eventType = 55; // dock-control events carry their type here
inline constexpr std::uint32_t scrollIsContinuous = 88;
inline constexpr std::uint32_t scrollPointDeltaAxis1 = 96; // vertical
inline constexpr std::uint32_t scrollPointDeltaAxis2 = 97; // horizontal
inline constexpr std::uint32_t scrollPhase = 99;
inline constexpr std::uint32_t gestureKind = 110;
inline constexpr std::uint32_t gestureZoomAmount = 113;
inline constexpr std::uint32_t gestureSeriesKind = 117;
inline constexpr std::uint32_t gestureScrollX = 118;
inline constexpr std::uint32_t gestureScrollY = 119;
inline constexpr std::uint32_t momentumPhase = 123; // on scroll-wheel events
inline constexpr std::uint32_t gesturePhase = 132;
// Private fields of gesture and dock-control events; numbers are shared between kinds, so the
// name says which kind reads them.
inline constexpr std::uint32_t gestureIsScroll = 135;   // scroll companions: 1
inline constexpr std::uint32_t dockSwipeMotion = 123;   // 1: horizontal
inline constexpr std::uint32_t dockSwipeProgress = 124; // -1.0 right, 1.0 left
inline constexpr std::uint32_t dockSwipeStep = 125;
inline constexpr std::uint32_t dockSwipeEnd = 129; // the end phase only: -9999 right, 9999 left
inline constexpr std::uint32_t dockSwipePhase = 134;
inline constexpr std::uint32_t dockSwipeDirection = 135; // DockSwipeDirection
inline constexpr std::uint32_t dockSwipeVelocity = 138;
inline constexpr std::uint32_t dockSwipeTiny = 139;
inline constexpr std::uint32_t dockSwipeTimestamp = 169;
} // namespace EventField

// Values of EventField::gestureKind (and of gestureSeriesKind for the series events).
namespace GestureKind {
inline constexpr std::int64_t scroll = 6;
inline constexpr std::int64_t zoom = 8;
inline constexpr std::int64_t smartZoom = 22;
inline constexpr std::int64_t dockSwipe = 23;
inline constexpr std::int64_t seriesBegin = 61;
inline constexpr std::int64_t seriesEnd = 62;
} // namespace GestureKind

// Values of EventField::scrollPhase and EventField::gesturePhase.
namespace EventPhase {
inline constexpr std::int64_t began = 1;
inline constexpr std::int64_t changed = 2;
inline constexpr std::int64_t ended = 4;
inline constexpr std::int64_t mayBegin = 128;
} // namespace EventPhase

// Values of EventField::momentumPhase.
namespace MomentumPhase {
inline constexpr std::int64_t begin = 1;
inline constexpr std::int64_t proceed = 2;
inline constexpr std::int64_t end = 3;
} // namespace MomentumPhase

// Values of EventField::dockSwipeDirection.
namespace DockSwipeDirection {
inline constexpr std::int64_t right = 1;
inline constexpr std::int64_t left = 0x80000001LL;
} // namespace DockSwipeDirection

// One synthesised input event as a plain value: what the sink asks the platform to post.
// Numbered fields live inline (no allocation per event); at most kMaxFields of each kind.
struct Event {
    static constexpr std::size_t kMaxFields = 12;

    EventType type = EventType::null;
    EventTap tap = EventTap::hid;
    bool hasSource = true; // created from the sink's event source (false: "without a source")
    Point location{};
    std::uint64_t flags = 0;
    int mouseButton = 0; // 0 left, 1 right, 2 centre
    std::uint16_t keyCode = 0;
    bool keyDown = false;
    std::u16string unicode; // UTF-16 code units of a keyboard event's Unicode string

    // Scroll-wheel events.
    ScrollUnit scrollUnit = ScrollUnit::pixel;
    int wheelCount = 0;
    std::int32_t wheel1 = 0; // vertical
    std::int32_t wheel2 = 0; // horizontal
    std::int32_t wheel3 = 0;

    void setIntegerField(std::uint32_t field, std::int64_t value);
    void setDoubleField(std::uint32_t field, double value);
    std::optional<std::int64_t> integerField(std::uint32_t field) const;
    std::optional<double> doubleField(std::uint32_t field) const;
    std::size_t integerFieldCount() const { return intCount_; }
    std::size_t doubleFieldCount() const { return doubleCount_; }
    // Fields in the order they were first set.
    std::pair<std::uint32_t, std::int64_t> integerFieldAt(std::size_t i) const { return ints_[i]; }
    std::pair<std::uint32_t, double> doubleFieldAt(std::size_t i) const { return doubles_[i]; }

    // Readable one-line form for test failures and diagnostics.
    std::string description() const;

private:
    std::array<std::pair<std::uint32_t, std::int64_t>, kMaxFields> ints_{};
    std::array<std::pair<std::uint32_t, double>, kMaxFields> doubles_{};
    std::size_t intCount_ = 0;
    std::size_t doubleCount_ = 0;
};

} // namespace quillon::platform
