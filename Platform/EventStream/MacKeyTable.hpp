#pragma once

#include <cstdint>
#include <optional>

namespace quillon::platform {

// What the Command keys become on a Linux desktop ("commandKey" user default).
enum class CommandKeyRole : std::uint8_t { control, super };

// Linux input event codes (<linux/input-event-codes.h>) for the macOS virtual key codes of
// every key on Apple's ANSI, ISO and JIS keyboards: letters, digits, punctuation, F1-F20,
// keypad, navigation and editing keys, both modifiers of each side, the ISO section key, the
// JIS Yen, underscore, keypad comma, Eisu and Kana keys, and the media keys macOS numbers.
// An X server's keycode for such a key is the code + 8.
//
// Nothing for codes without a Linux key: fn (63) has no code X can carry, and codes outside
// Apple's keyboards have no key at all.
std::optional<int> linuxKeyForMacKey(std::uint16_t macKey, CommandKeyRole command);

// The four modifier keys the sink presses, as macOS numbers them.
namespace MacKey {
inline constexpr std::uint16_t command = 55;
inline constexpr std::uint16_t shift = 56;
inline constexpr std::uint16_t capsLock = 57;
inline constexpr std::uint16_t option = 58;
inline constexpr std::uint16_t control = 59;
inline constexpr std::uint16_t rightCommand = 54;
inline constexpr std::uint16_t rightShift = 60;
inline constexpr std::uint16_t rightOption = 61;
inline constexpr std::uint16_t rightControl = 62;
inline constexpr std::uint16_t f11 = 103;
} // namespace MacKey

// True for the modifier keys (both sides of Command, Shift, Option, Control).
bool isMacModifierKey(std::uint16_t macKey);
// The event flag a modifier key sets (0 for other keys).
std::uint64_t macModifierFlag(std::uint16_t macKey);

} // namespace quillon::platform
