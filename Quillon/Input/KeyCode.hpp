#pragma once

#include <cstdint>

namespace quillon {

// The virtual key codes the host itself presses (the wire's key codes use the same numbering).
namespace KeyCode {
inline constexpr std::uint16_t leftArrow = 123;
inline constexpr std::uint16_t rightArrow = 124;
inline constexpr std::uint16_t downArrow = 125;
inline constexpr std::uint16_t upArrow = 126;
inline constexpr std::uint16_t equals = 24; // "=" of the US layout
inline constexpr std::uint16_t minus = 27;  // "-" of the US layout
inline constexpr std::uint16_t space = 49;
} // namespace KeyCode

} // namespace quillon
