#pragma once

#include "Quillon/Pairing/PairedDevice.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <cstdint>
#include <string>
#include <variant>

namespace quillon {

struct SessionAdmission {
    struct Accepted {
        PairedDevice device; // as stored, with lastSeenAt = the admission time
        bool operator==(const Accepted&) const = default;
    };
    struct Rejected {
        std::uint16_t code = 0;
        std::string reason;
        bool operator==(const Rejected&) const = default;
    };
    std::variant<Accepted, Rejected> value;
    bool operator==(const SessionAdmission&) const = default;
};

// Admits or refuses a main-channel connection by its first message.
namespace SessionGatekeeper {
inline constexpr std::uint16_t codeBadFirstMessage = 400;
inline constexpr std::uint16_t codeUnknownDevice = 401;
inline constexpr std::uint16_t codeBadToken = 403;
inline constexpr std::uint16_t codeVersionMismatch = 426;
inline constexpr const char* versionMismatchReason =
    "协议版本不一致，请把 Mac 端和 iPad 端都更新到最新版本再试";

// Never throws and never writes to the store.
SessionAdmission admit(const wire::ControlMessage& hello, PairingStore& store, double now);
} // namespace SessionGatekeeper

} // namespace quillon
