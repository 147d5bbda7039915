#include "Quillon/Pairing/SessionGatekeeper.hpp"

#include "WireProtocol/ServiceConstants.hpp"

namespace quillon::SessionGatekeeper {

namespace {
SessionAdmission reject(std::uint16_t code, std::string reason) {
    return SessionAdmission{SessionAdmission::Rejected{code, std::move(reason)}};
}
} // namespace

SessionAdmission admit(const wire::ControlMessage& message, PairingStore& store, double now) {
    const auto* hello = message.getIf<wire::cm::Hello>();
    if (hello == nullptr) {
        return reject(codeBadFirstMessage, "首个消息必须是 hello");
    }
    // Before the lookup: an outdated client learns it must update even when it is unpaired.
    if (hello->protocolVersion != wire::ServiceConstants::protocolVersion) {
        return reject(codeVersionMismatch, versionMismatchReason);
    }
    std::optional<PairedDevice> stored;
    try {
        stored = store.device(hello->deviceID);
    } catch (...) {
        // A store that cannot answer admits nobody; the error itself is not the client's.
        stored.reset();
    }
    if (!stored) {
        return reject(codeUnknownDevice, "未配对设备");
    }
    if (!ConstantTime::equal(stored->token, hello->token)) {
        return reject(codeBadToken, "凭据无效");
    }
    stored->lastSeenAt = now;
    return SessionAdmission{SessionAdmission::Accepted{std::move(*stored)}};
}

} // namespace quillon::SessionGatekeeper
