#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
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

// Little-endian loads from unaligned bytes: one plain load on little-endian hosts, in every
// build type (the byte-by-byte form is only merged into one load by an optimising compiler).
inline std::uint16_t loadLE16(const std::uint8_t* p) noexcept {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap16(v);
    }
    return v;
}
inline std::uint32_t loadLE32(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap32(v);
    }
    return v;
}

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(ByteView bytes) noexcept;

// Standard Base64 (RFC 4648 alphabet) with padding.
std::string base64Encode(ByteView bytes);
// Absent on any character outside the alphabet, wrong padding or a length that is not a
// multiple of four.
bool base64Decode(std::string_view text, Bytes& out);

} // namespace quillon::wire
