#include "Quillon/Input/GestureMapper.hpp"

#include "WireProtocol/KeyCodes.hpp"

namespace quillon {

namespace KeyCode = wire::KeyCode;
using wire::KeyModifiers;
using wire::TrackpadGesture;

std::optional<GestureMapper::Binding> GestureMapper::binding(TrackpadGesture gesture) const {
    const auto it = bindings_.find(gesture);
    if (it == bindings_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void GestureMapper::setBinding(const Binding& binding, TrackpadGesture gesture) {
    bindings_[gesture] = binding;
}

const GestureMapper& GestureMapper::defaultMapper() {
    // A function-local static is initialised exactly once, even with concurrent first callers.
    static const GestureMapper mapper(Bindings{
        {TrackpadGesture::threeFingerUp, {KeyCode::upArrow, KeyModifiers::control}},
        {TrackpadGesture::threeFingerDown, {KeyCode::downArrow, KeyModifiers::control}},
        {TrackpadGesture::threeFingerLeft, {KeyCode::leftArrow, KeyModifiers::control}},
        {TrackpadGesture::threeFingerRight, {KeyCode::rightArrow, KeyModifiers::control}},
        {TrackpadGesture::pinchOut, {KeyCode::equals, KeyModifiers::command}},
        {TrackpadGesture::pinchIn, {KeyCode::minus, KeyModifiers::command}},
        {TrackpadGesture::fourFingerPinchIn, {KeyCode::space, KeyModifiers::command}},
    });
    return mapper;
}

} // namespace quillon
