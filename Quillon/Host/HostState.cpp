#include "Quillon/Host/HostState.hpp"

#include "Quillon/Host/HostCoordinator.hpp"

namespace quillon {

HostState snapshot(const HostCoordinator& c) {
    return HostState{c.devices(),   c.connectedIDs(),  c.pairingPIN(), c.isScreenLocked(),
                     c.lastError(), c.activeChannel(), c.notice()};
}

bool pairingExpired(HostCoordinator& c, double now) {
    if (!c.pairingPIN()) {
        return false;
    }
    const auto state = c.server().pairingState();
    if (const auto* open = std::get_if<PairingSession::Open>(&state)) {
        return open->expiresAt <= now;
    }
    return true;
}

} // namespace quillon
