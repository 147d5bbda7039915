#pragma once

#include <cstdint>

namespace quillon::wire {

// Values the host and the tablet agree on.
namespace ServiceConstants {
inline constexpr const char* bonjourType = "_corvane._tcp";
inline constexpr const char* pairingBonjourType = "_corvane-pair._tcp";
inline constexpr const char* saltTXTKey = "salt";
inline constexpr std::uint16_t protocolVersion = 2;
inline constexpr std::uint16_t usbPort = 49281;
inline constexpr double heartbeatInterval = 1.0;
inline constexpr double heartbeatTimeout = 3.0;
inline constexpr double pairingWindow = 60.0;
inline constexpr int maxPairingAttempts = 3;
inline constexpr int pinDigits = 6;
inline constexpr int tokenByteCount = 32;
// TLS pre-shared-key identities of the two listeners.
inline constexpr const char* sessionIdentity = "corvane";
inline constexpr const char* pairingIdentity = "corvane-pair";
} // namespace ServiceConstants

namespace AppIconContract {
// Edge length in pixels of every icon in an application list.
inline constexpr int minimumDimension = 128;
} // namespace AppIconContract

} // namespace quillon::wire
