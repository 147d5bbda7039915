#pragma once

#include "Quillon/Host/ChannelArbiter.hpp"
#include "Quillon/Host/HostNotice.hpp"
#include "Quillon/Pairing/PairedDevice.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

class HostCoordinator;

// A copy of the coordinator's published state, taken on the main queue. The views and the
// control interface render from it, so they can be tested with any state without running
// transports, and a view never holds a reference into the coordinator across a change.
struct HostState {
    std::vector<PairedDevice> devices;
    std::vector<std::string> connectedIDs;
    std::optional<std::string> pairingPIN;
    bool isScreenLocked = false;
    std::optional<std::string> lastError;
    std::optional<HostChannel> activeChannel;
    std::optional<HostNotice> notice;

    bool isConnected(const std::string& deviceID) const {
        return std::find(connectedIDs.begin(), connectedIDs.end(), deviceID) != connectedIDs.end();
    }
    bool operator==(const HostState&) const = default;
};

// Main queue only.
HostState snapshot(const HostCoordinator& coordinator);

// True when the coordinator still shows a PIN whose pairing window has run out (or was closed
// by the transport): the surfaces then end the pairing, so an expired PIN is never shown as
// if it still worked. `now` in seconds on the system clock. Main queue only.
bool pairingExpired(HostCoordinator& coordinator, double now);

} // namespace quillon
