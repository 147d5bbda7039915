#pragma once

#include "WireProtocol/Bytes.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillon {

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the reference date of stored
// times.
inline constexpr double kReferenceDateOffset = 978307200.0;

// A paired tablet. Times are seconds since the Unix epoch (the system clock) in memory and
// seconds since 2001-01-01 UTC in the stored JSON.
struct PairedDevice {
    std::string deviceID;   // upper-case UUID text given at pairing
    std::string deviceName; // as sent in the pairRequest
    wire::Bytes token;      // 32 random bytes handed to the tablet
    double pairedAt = 0;
    std::optional<double> lastSeenAt; // last admission; nothing right after pairing
    bool operator==(const PairedDevice&) const = default;
};

// A stored record that is not a valid PairedDevice.
class PairedDeviceDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A record that has no stored form: a time that is not finite, or text that is not UTF-8.
class PairedDeviceEncodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The stored form: one compact JSON object with "deviceID", "deviceName", "token" (padded
// standard Base64), "pairedAt" and, when present, "lastSeenAt" (seconds since 2001-01-01 UTC).
// Throws PairedDeviceEncodeError.
std::string encodePairedDevice(const PairedDevice& device);
// Reads any key order; "lastSeenAt" missing or null is nothing. Throws PairedDeviceDecodeError.
PairedDevice decodePairedDevice(std::string_view json);

} // namespace quillon
