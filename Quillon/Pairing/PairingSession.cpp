#include "Quillon/Pairing/PairingSession.hpp"

namespace quillon {

void PairingSession::open(std::string pin, wire::Bytes salt, double now) {
    state_ = Open{std::move(pin), std::move(salt), now + windowLength, 0};
}

void PairingSession::prune(double now) {
    // Usable strictly before expiresAt, expired from expiresAt on: the exact complement of
    // activeCredential's test.
    if (const auto* open = std::get_if<Open>(&state_); open != nullptr && now >= open->expiresAt) {
        state_ = Idle{};
    }
}

void PairingSession::recordFailure(double now) {
    prune(now);
    auto* open = std::get_if<Open>(&state_);
    if (open == nullptr) {
        return; // an expired or closed window counts nothing
    }
    const std::int64_t count = open->failedAttempts + 1;
    if (count < maxFailedAttempts) {
        open->failedAttempts = count; // the window keeps its expiry
    } else {
        state_ = Idle{};
    }
}

void PairingSession::recordSuccess() {
    state_ = Idle{};
}

void PairingSession::close() {
    state_ = Idle{};
}

std::optional<std::pair<std::string, wire::Bytes>>
PairingSession::activeCredential(double at) const {
    if (const auto* open = std::get_if<Open>(&state_); open != nullptr && at < open->expiresAt) {
        return std::make_pair(open->pin, open->salt);
    }
    return std::nullopt;
}

} // namespace quillon
