#pragma once

namespace quillon::platform {

// The Linux input event codes (<linux/input-event-codes.h>) the injector and the backends
// name; spelled out so that no file depends on kernel headers. Every other key comes from
// wire::evdevKeyFor as a number.
namespace EvdevKey {
inline constexpr int tab = 15;
inline constexpr int enter = 28;
inline constexpr int leftControl = 29;
inline constexpr int leftShift = 42;
inline constexpr int rightShift = 54;
inline constexpr int leftAlt = 56;
inline constexpr int capsLock = 58;
inline constexpr int numLock = 69;
inline constexpr int scrollLock = 70;
inline constexpr int rightControl = 97;
inline constexpr int rightAlt = 100;
inline constexpr int leftMeta = 125;
inline constexpr int rightMeta = 126;
// Codes the injector counts presses of; higher codes have no key on Apple's keyboards.
inline constexpr int count = 256;
} // namespace EvdevKey

// Control, Shift, Alt and Meta (Super) of either side: held while other keys are pressed, and
// lifted by a backend while it types text.
constexpr bool isModifierKey(int code) noexcept {
    switch (code) {
    case EvdevKey::leftControl:
    case EvdevKey::rightControl:
    case EvdevKey::leftShift:
    case EvdevKey::rightShift:
    case EvdevKey::leftAlt:
    case EvdevKey::rightAlt:
    case EvdevKey::leftMeta:
    case EvdevKey::rightMeta:
        return true;
    default:
        return false;
    }
}

// Keys whose press toggles a state of the keyboard that outlives the press.
constexpr bool isLockKey(int code) noexcept {
    return code == EvdevKey::capsLock || code == EvdevKey::numLock || code == EvdevKey::scrollLock;
}

} // namespace quillon::platform
