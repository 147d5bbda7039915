#pragma once

#include "WireProtocol/Bytes.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quillon {

// The PIN pairing window. No clock inside: time (seconds) is passed in. Owned and serialised
// by the transport server.
class PairingSession {
public:
    struct Open {
        std::string pin;
        wire::Bytes salt;
        double expiresAt = 0;
        std::int64_t failedAttempts = 0;
        bool operator==(const Open&) const = default;
    };
    struct Idle {
        bool operator==(const Idle&) const = default;
    };
    using State = std::variant<Open, Idle>;

    static constexpr double windowLength = 60.0;
    static constexpr std::int64_t maxFailedAttempts = 3;

    PairingSession() = default;

    const State& state() const noexcept { return state_; }
    bool isOpen() const noexcept { return std::holds_alternative<Open>(state_); }

    void open(std::string pin, wire::Bytes salt, double now);
    void prune(double now);
    void recordFailure(double now);
    void recordSuccess();
    void close();
    std::optional<std::pair<std::string, wire::Bytes>> activeCredential(double at) const;

private:
    State state_ = Idle{};
};

} // namespace quillon
