#include "Quillon/Host/ChannelArbiter.hpp"

namespace quillon {

AdmitDecision ChannelArbiter::admit(const std::string& deviceID, HostChannel channel) {
    const auto it = active_.find(deviceID);
    if (it == active_.end()) {
        active_.emplace(deviceID, channel);
        return AdmitDecision::accept;
    }
    if (it->second == channel) {
        return AdmitDecision::accept;
    }
    if (it->second == HostChannel::usb) {
        // Wi-Fi while the device is cabled: USB keeps it.
        return AdmitDecision::reject;
    }
    it->second = HostChannel::usb;
    return AdmitDecision::acceptAndDropWiFi;
}

void ChannelArbiter::remove(const std::string& deviceID, HostChannel channel) {
    const auto it = active_.find(deviceID);
    if (it != active_.end() && it->second == channel) {
        active_.erase(it);
    }
}

std::optional<HostChannel> ChannelArbiter::channel(const std::string& deviceID) const {
    const auto it = active_.find(deviceID);
    if (it == active_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<HostChannel> ChannelArbiter::dominantChannel() const {
    std::optional<HostChannel> result;
    for (const auto& [id, channel] : active_) {
        if (channel == HostChannel::usb) {
            return HostChannel::usb;
        }
        result = HostChannel::wifi;
    }
    return result;
}

} // namespace quillon
