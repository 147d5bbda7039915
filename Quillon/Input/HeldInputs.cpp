#include "Quillon/Input/HeldInputs.hpp"

#include "Platform/Input/EvdevKeys.hpp"

namespace quillon {

namespace {

namespace EvdevKey = platform::EvdevKey;
namespace PointerButton = platform::PointerButton;

constexpr std::array<int, 3> kButtons = {PointerButton::left, PointerButton::right,
                                         PointerButton::middle};
constexpr std::array<int, 3> kLockKeys = {EvdevKey::capsLock, EvdevKey::numLock,
                                          EvdevKey::scrollLock};

std::uint8_t buttonBit(int button) noexcept {
    for (std::size_t i = 0; i < kButtons.size(); ++i) {
        if (kButtons[i] == button) {
            return static_cast<std::uint8_t>(1u << i);
        }
    }
    return 0;
}

std::uint8_t lockBit(int code) noexcept {
    for (std::size_t i = 0; i < kLockKeys.size(); ++i) {
        if (kLockKeys[i] == code) {
            return static_cast<std::uint8_t>(1u << i);
        }
    }
    return 0;
}

bool counted(int code) noexcept {
    return code >= 0 && code < HeldInputs::kKeyCodes;
}

} // namespace

bool HeldInputs::pressButton(int button) noexcept {
    const std::uint8_t bit = buttonBit(button);
    if (bit == 0 || (buttons_ & bit) != 0) {
        return false;
    }
    buttons_ |= bit;
    return true;
}

bool HeldInputs::releaseButton(int button) noexcept {
    const std::uint8_t bit = buttonBit(button);
    if ((buttons_ & bit) == 0) {
        return false;
    }
    buttons_ &= static_cast<std::uint8_t>(~bit);
    return true;
}

bool HeldInputs::buttonHeld(int button) const noexcept {
    return (buttons_ & buttonBit(button)) != 0;
}

bool HeldInputs::pressKey(int code) noexcept {
    if (!counted(code)) {
        return false;
    }
    auto& n = keys_[static_cast<std::size_t>(code)];
    if (n == UINT16_MAX) {
        return false; // a count this high is a runaway client; the key is down either way
    }
    if (n++ != 0) {
        return false;
    }
    lockToggles_ ^= lockBit(code);
    return true;
}

bool HeldInputs::releaseKey(int code) noexcept {
    if (!counted(code)) {
        return false;
    }
    auto& n = keys_[static_cast<std::size_t>(code)];
    return n > 0 && --n == 0;
}

bool HeldInputs::keyHeld(int code) const noexcept {
    return counted(code) && keys_[static_cast<std::size_t>(code)] > 0;
}

std::size_t HeldInputs::heldModifierKeys(std::array<int, 8>& out) const noexcept {
    std::size_t n = 0;
    for (const int code :
         {EvdevKey::leftControl, EvdevKey::leftShift, EvdevKey::rightShift, EvdevKey::leftAlt,
          EvdevKey::rightControl, EvdevKey::rightAlt, EvdevKey::leftMeta, EvdevKey::rightMeta}) {
        if (keyHeld(code) && n < out.size()) {
            out[n++] = code;
        }
    }
    return n;
}

bool HeldInputs::isEmpty() const noexcept {
    if (buttons_ != 0 || !sticky_.isEmpty() || lockToggles_ != 0) {
        return false;
    }
    for (const auto n : keys_) {
        if (n != 0) {
            return false;
        }
    }
    return true;
}

void HeldInputs::releaseAll(platform::InputBackend& backend) {
    for (std::size_t i = 0; i < kButtons.size(); ++i) {
        if ((buttons_ & (1u << i)) != 0) {
            backend.button(kButtons[i], false);
        }
    }
    for (std::size_t code = 0; code < keys_.size(); ++code) {
        if (keys_[code] != 0) {
            backend.key(static_cast<int>(code), false);
        }
    }
    for (std::size_t i = 0; i < kLockKeys.size(); ++i) {
        if ((lockToggles_ & (1u << i)) != 0) {
            backend.key(kLockKeys[i], true);
            backend.key(kLockKeys[i], false);
        }
    }
    forget();
}

void HeldInputs::forget() noexcept {
    buttons_ = 0;
    keys_.fill(0);
    sticky_ = {};
    lockToggles_ = 0;
}

} // namespace quillon
