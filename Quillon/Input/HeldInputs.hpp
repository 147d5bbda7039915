#pragma once

#include "Platform/Input/InputBackend.hpp"
#include <string_view> // InputTypes.hpp uses it without including it

#include "WireProtocol/InputTypes.hpp"

#include <array>
#include <cstdint>

namespace quillon {

// Everything the tablet holds down on the desktop, kept once for the whole host: pointer
// buttons, keys (modifier keys among them), the sticky modifiers latched, and the lock keys
// (Caps Lock, Num Lock, Scroll Lock) toggled. A plain value: its owner (the injector) keeps it
// under its lock and makes the backend calls these answers ask for.
//
// Keys are counted per Linux key code: Command and Control can both be Control, and a sticky
// Shift stays down through a Shift+key combination, so only the first press and the last
// release of a code reach the backend. Buttons are a set: a second press of a held button and a
// release of one not held change nothing.
class HeldInputs {
public:
    // Linux key codes counted here; the tablet's keyboards have none above.
    static constexpr int kKeyCodes = 256;

    // True when the button changes state (the backend's call is due).
    bool pressButton(int button) noexcept;
    bool releaseButton(int button) noexcept;
    bool buttonHeld(int button) const noexcept;

    // True on the first press and on the last release of a code. A code outside the counted
    // range is never held (false). The first press of a lock key toggles its lock.
    bool pressKey(int code) noexcept;
    bool releaseKey(int code) noexcept;
    bool keyHeld(int code) const noexcept;
    // The modifier keys held now (Control, Shift, Alt, Super of either side), ascending, as
    // many as fit `out`; returns how many.
    std::size_t heldModifierKeys(std::array<int, 8>& out) const noexcept;

    wire::KeyModifiers sticky() const noexcept { return sticky_; }
    void setSticky(wire::KeyModifiers modifiers) noexcept { sticky_ = modifiers; }

    // Nothing held, nothing latched, no lock toggled.
    bool isEmpty() const noexcept;

    // Lets go of everything through `backend`: held buttons (left, right, middle), held keys
    // (ascending code), then one more press of each lock key toggled an odd number of times, so
    // the keyboard is left as the user had it. Afterwards nothing is held.
    void releaseAll(platform::InputBackend& backend);
    // Forgets everything without a call: the display server that held it is gone.
    void forget() noexcept;

private:
    std::uint8_t buttons_ = 0; // bit per PointerButton (left, right, middle)
    std::array<std::uint16_t, kKeyCodes> keys_{};
    wire::KeyModifiers sticky_;
    std::uint8_t lockToggles_ = 0; // bit per lock key toggled an odd number of times
};

} // namespace quillon
