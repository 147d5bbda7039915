#include "Quillon/Input/DragStateResolver.hpp"

namespace quillon {

using platform::EventType;
using wire::MouseButton;

DragStateResolver::MoveEvent DragStateResolver::moveEventType(MouseButtonSet pressed) noexcept {
    if (pressed.contains(MouseButton::left)) {
        return {EventType::leftMouseDragged, 0};
    }
    if (pressed.contains(MouseButton::right)) {
        return {EventType::rightMouseDragged, 1};
    }
    if (pressed.contains(MouseButton::middle)) {
        return {EventType::otherMouseDragged, 2};
    }
    return {EventType::mouseMoved, 0};
}

} // namespace quillon
