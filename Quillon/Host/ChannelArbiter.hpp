#pragma once

#include "Quillon/Transport/TransportEvents.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// The arbiter's verdict on a new session.
enum class AdmitDecision { accept, acceptAndDropWiFi, reject };

// One live channel per device; USB always wins. A plain value: the coordinator owns it, uses
// it on the main thread only, and resets it by assigning a fresh one.
class ChannelArbiter {
public:
    ChannelArbiter() = default;

    // Decides on a new session and records the outcome. After acceptAndDropWiFi the entry
    // already says usb, so the later close of the dropped Wi-Fi session is recognised as stale.
    AdmitDecision admit(const std::string& deviceID, HostChannel channel);

    // Forgets the device only when its entry names `channel`; the close of a superseded session
    // (the other channel) leaves the live entry alone.
    void remove(const std::string& deviceID, HostChannel channel);

    std::optional<HostChannel> channel(const std::string& deviceID) const;

    // usb when any device uses USB, else wifi when any uses Wi-Fi, else nothing.
    std::optional<HostChannel> dominantChannel() const;

    bool operator==(const ChannelArbiter&) const = default;

private:
    std::map<std::string, HostChannel> active_;
};

} // namespace quillon
