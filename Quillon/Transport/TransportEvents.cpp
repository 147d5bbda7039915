#include "Quillon/Transport/TransportEvents.hpp"

namespace quillon {

const char* rawValue(HostChannel channel) noexcept {
    return channel == HostChannel::usb ? "usb" : "wifi";
}

std::optional<HostChannel> hostChannelFromRaw(std::string_view raw) noexcept {
    if (raw == "wifi") {
        return HostChannel::wifi;
    }
    if (raw == "usb") {
        return HostChannel::usb;
    }
    return std::nullopt;
}

} // namespace quillon
