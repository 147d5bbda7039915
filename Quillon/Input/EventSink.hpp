#pragma once

#include "Platform/Display/Geometry.hpp"
#include <string_view> // InputTypes.hpp uses it without including it

#include "WireProtocol/InputTypes.hpp"

#include <cstdint>
#include <string_view>

namespace quillon {

// The only way synthesised input leaves the host. The injector calls these with its lock held,
// so they never overlap, except scroll() during the injector's scroll self-test, which runs on
// a background thread. No operation fails or reports a status. The order of the operations is
// part of the contract; extend at the end.
class EventSink {
public:
    virtual ~EventSink() = default;

    // 0: the area the pointer may reach (the main display), read fresh on every call.
    virtual platform::Rect screenBounds() const = 0;
    // 1
    virtual void moveCursor(platform::Point to) = 0;
    // 2: forgets held buttons, modifiers and the last move point; posts nothing.
    virtual void resetButtonState() {}
    // 3
    virtual void mouseButton(wire::MouseButton button, bool isDown, platform::Point at) = 0;
    // 4
    virtual void multiClick(wire::MouseButton button, std::int64_t clickCount,
                            platform::Point at) = 0;
    // 5
    virtual void setModifier(wire::KeyModifiers modifiers, bool isDown) = 0;
    // 6
    virtual void scroll(double dx, double dy, wire::ScrollPhase phase) = 0;
    // 7
    virtual void magnify(double scale, wire::ScrollPhase phase) = 0;
    // 8
    virtual void navigationSwipe(wire::TrackpadGesture gesture) = 0;
    // 9
    virtual void smartZoom() = 0;
    // 10
    virtual void showDesktop() = 0;
    // 11
    virtual void keyCombo(std::uint16_t keyCode, wire::KeyModifiers modifiers) = 0;
    // 12: `text` is UTF-8.
    virtual void typeText(std::string_view text) = 0;
};

} // namespace quillon
