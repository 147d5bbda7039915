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

inline Bytes toBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(ByteView bytes) noexcept;

// Standard Base64 (RFC 4648 alphabet) with padding.
std::string base64Encode(ByteView bytes);
// Absent on any character outside the alphabet, wrong padding or a length that is not a
// multiple of four.
bool base64Decode(std::string_view text, Bytes& out);

} // namespace quillon::wire
