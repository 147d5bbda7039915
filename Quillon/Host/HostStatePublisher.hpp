#pragma once

#include "Quillon/Host/HostState.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillon {

// A part of the published state, named in change notifications.
enum class HostField {
    devices, // devices and storeProblem
    connectedIDs,
    pairingPIN, // pairingPIN, pinExpiresAt and pairingExpired
    isScreenLocked,
    lastError,
    activeChannel,
    notice,
    discoverable,
};

const char* rawValue(HostField field) noexcept;

// The state the user sees, in one place: the host's pieces write it, the front ends (console,
// window, tray, control interface, notifications) read a snapshot of it and hear of each change.
// A setter that changes nothing tells nobody, except setLastError(): a failure that happens
// again is news again. Observers run right after the change, in the order they subscribed; one
// may subscribe or unsubscribe others while it is told.
//
// Main queue only.
class HostStatePublisher {
public:
    using Observer = std::function<void(HostField)>;
    using Token = std::size_t;

    const HostState& state() const noexcept { return state_; }

    // A token for unsubscribe(), never 0.
    Token subscribe(Observer observer);
    void unsubscribe(Token token);

    void setDevices(std::vector<PairedDevice> devices, std::optional<std::string> storeProblem);
    void setConnectedIDs(std::vector<std::string> ids);
    void addConnected(const std::string& deviceID);
    void removeConnected(const std::string& deviceID);
    // A window opened with `pin` until `expiresAt`; pairingExpired goes.
    void showPIN(std::string pin, std::optional<double> expiresAt);
    // The window closed: `expired` says it ran out (the surfaces say so), else it was ended.
    void hidePIN(bool expired = false);
    void setScreenLocked(bool locked);
    void setLastError(std::string text);
    // A failure that is over (listening started, a window opened): its line goes.
    void clearLastError();
    void setActiveChannel(std::optional<HostChannel> channel);
    void publishNotice(HostNotice notice);
    // The notice goes when `stale` says it no longer holds.
    void clearNotice(const std::function<bool(const HostNotice&)>& stale);
    void setDiscoverable(bool discoverable);
    // The listeners' ports. Not told on its own: the listeners start, stop and open a window
    // only together with a change that is told (a PIN, the lock, the last error), and a surface
    // that renders reads them with the rest.
    void setPorts(std::optional<std::uint16_t> port, std::optional<std::uint16_t> pairingPort);

private:
    void notify(HostField field);

    HostState state_;
    std::vector<std::pair<Token, Observer>> observers_;
    Token nextToken_ = 1;
};

} // namespace quillon
