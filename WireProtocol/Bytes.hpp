#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::wire {

// Owned byte string: payloads, tokens, secrets, icons.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline Bytes toBytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Little-endian loads from unaligned bytes (compile to one load on little-endian hosts).
inline std::uint16_t loadLE16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t loadLE32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(ByteView bytes) noexcept;

// Standard Base64 (RFC 4648 alphabet) with padding.
std::string base64Encode(ByteView bytes);
// Absent on any character outside the alphabet, wrong padding or a length that is not a
// multiple of four.
bool base64Decode(std::string_view text, Bytes& out);

} // namespace quillon::wire
