#pragma once

#include <cstdint>
#include <optional>

namespace quillon::wire {

// The key codes `keyCombo` carries and the gesture bindings name: one number per key of the
// tablet's keyboards (Apple's ANSI, ISO and JIS layouts number their keys this way). They are
// wire vocabulary: the host turns them into Linux input event codes with evdevKeyFor() at the
// decoder's edge, and nothing past it speaks them.
namespace KeyCode {
inline constexpr std::uint16_t equals = 24; // "=" of the US layout
inline constexpr std::uint16_t minus = 27;  // "-" of the US layout
inline constexpr std::uint16_t space = 49;
inline constexpr std::uint16_t rightCommand = 54;
inline constexpr std::uint16_t command = 55;
inline constexpr std::uint16_t shift = 56;
inline constexpr std::uint16_t capsLock = 57;
inline constexpr std::uint16_t option = 58;
inline constexpr std::uint16_t control = 59;
inline constexpr std::uint16_t rightShift = 60;
inline constexpr std::uint16_t rightOption = 61;
inline constexpr std::uint16_t rightControl = 62;
inline constexpr std::uint16_t function = 63; // fn: no key a Linux desktop can carry
inline constexpr std::uint16_t keypadClear = 71;
inline constexpr std::uint16_t f11 = 103;
inline constexpr std::uint16_t leftArrow = 123;
inline constexpr std::uint16_t rightArrow = 124;
inline constexpr std::uint16_t downArrow = 125;
inline constexpr std::uint16_t upArrow = 126;
} // namespace KeyCode

// What the Command keys become on a Linux desktop (the "commandKey" user default).
enum class CommandKeyRole : std::uint8_t { control, super };

// The Linux input event code (<linux/input-event-codes.h>) of a wire key code: letters,
// digits, punctuation, F1-F20, keypad, navigation and editing keys, both sides of every
// modifier, the ISO section key, the JIS Yen, underscore, keypad comma, Eisu and Kana keys and
// the media keys. Command is Control or Super by `command`. Nothing for codes without a Linux
// key: fn has none an X server or compositor can carry, and codes outside the tablet's
// keyboards name no key at all.
std::optional<int> evdevKeyFor(std::uint16_t keyCode, CommandKeyRole command);

} // namespace quillon::wire
