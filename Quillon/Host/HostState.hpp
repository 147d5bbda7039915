#pragma once

#include "Quillon/Host/ChannelArbiter.hpp"
#include "Quillon/Host/HostNotice.hpp"
#include "Quillon/Pairing/PairedDevice.hpp"

#include <algorithm>
#include <cstdint>
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
    // Why the pairing store cannot be read (then devices is empty for that reason, and no
    // pairing can work).
    std::optional<std::string> storeProblem;
    // When the shown PIN's window closes, seconds on the system clock.
    std::optional<double> pinExpiresAt;
    // The last window ran out without a pairing.
    bool pairingExpired = false;
    bool discoverable = true;
    // The listeners' ports while they listen.
    std::optional<std::uint16_t> port;
    std::optional<std::uint16_t> pairingPort;

    bool isConnected(const std::string& deviceID) const {
        return std::find(connectedIDs.begin(), connectedIDs.end(), deviceID) != connectedIDs.end();
    }
    bool operator==(const HostState&) const = default;
};

// Main queue only.
HostState snapshot(HostCoordinator& coordinator);

// Whole seconds left of the PIN at `now` (0 when it has run out); nothing without a PIN.
std::optional<int> pinSecondsLeft(const HostState& state, double now);

// What the tray shows at a glance.
enum class TrayStatus {
    idle,           // nothing connected, nothing wrong
    connected,      // a device is connected
    needsAttention, // input cannot work, pairing cannot work, tablets cannot find the host
};
// `permitted`: the input permission, which the host state does not hold.
TrayStatus trayStatus(const HostState& state, bool permitted);
// The icon's name in the theme for a status ("quillon", "quillon-connected",
// "quillon-attention").
const char* trayIconName(TrayStatus status);
// The tray's tooltip: "Quillon", then what holds (connected devices, or what needs
// attention), in the run's language.
std::string trayToolTip(const HostState& state, bool permitted);

// True when the coordinator still shows a PIN whose pairing window has run out (or was closed
// by the transport): the surfaces then end the pairing, so an expired PIN is never shown as
// if it still worked. `now` in seconds on the system clock. Main queue only.
bool pairingExpired(HostCoordinator& coordinator, double now);

} // namespace quillon
