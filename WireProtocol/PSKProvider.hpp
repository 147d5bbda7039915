#pragma once

#include "WireProtocol/Bytes.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quillon::wire {

// A derived TLS pre-shared key (32 bytes).
using SymmetricKey = std::array<std::uint8_t, 32>;

// Key derivation (HKDF-SHA256, RFC 5869) and randomness. Stateless; any thread.
namespace PSKProvider {

// Key of the pairing listener: HKDF(ikm = the PIN's ASCII digits, salt = the 16-byte pairing
// salt, info = "corvane-pairing-v1").
SymmetricKey pairingKey(std::string_view pin, ByteView salt);
// Key of the main listener: HKDF(ikm = host secret, empty salt, info = "corvane-session-v1").
SymmetricKey sessionKey(ByteView secret);

// HKDF-SHA256 extract-and-expand (exposed for the RFC test vectors).
Bytes hkdfSHA256(ByteView ikm, ByteView salt, ByteView info, std::size_t length);

// `count` bytes from the system's cryptographic random source. A failing source stops the
// process: no key material is ever made from a partly filled buffer.
Bytes randomBytes(std::size_t count);
Bytes randomSalt();  // 16 bytes
Bytes randomToken(); // 32 bytes

// Fills a buffer with random bytes; randomPIN() takes its source as a parameter for tests.
using RandomSource = std::function<void(std::uint8_t* out, std::size_t count)>;
// Six decimal digits: rounds of 12 bytes, bytes >= 250 skipped, digit = byte mod 10.
std::string randomPIN();
std::string randomPIN(const RandomSource& source);

Bytes keyBytes(const SymmetricKey& key);

// A new random UUID in upper-case text form (8-4-4-4-12), version 4.
std::string randomUUIDString();

} // namespace PSKProvider
} // namespace quillon::wire
