#include "Quillon/Host/HostStatePublisher.hpp"

#include <algorithm>

namespace quillon {

const char* rawValue(HostField field) noexcept {
    switch (field) {
    case HostField::devices:
        return "devices";
    case HostField::connectedIDs:
        return "connectedIDs";
    case HostField::pairingPIN:
        return "pairingPIN";
    case HostField::isScreenLocked:
        return "isScreenLocked";
    case HostField::lastError:
        return "lastError";
    case HostField::activeChannel:
        return "activeChannel";
    case HostField::notice:
        return "notice";
    case HostField::discoverable:
        return "discoverable";
    }
    return "?";
}

HostStatePublisher::Token HostStatePublisher::subscribe(Observer observer) {
    const Token token = nextToken_++;
    observers_.emplace_back(token, std::move(observer));
    return token;
}

void HostStatePublisher::unsubscribe(Token token) {
    std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void HostStatePublisher::notify(HostField field) {
    // A copy: an observer may subscribe or unsubscribe while being told.
    const auto observers = observers_;
    for (const auto& [token, observer] : observers) {
        observer(field);
    }
}

void HostStatePublisher::setDevices(std::vector<PairedDevice> devices,
                                    std::optional<std::string> storeProblem) {
    if (devices == state_.devices && storeProblem == state_.storeProblem) {
        return;
    }
    state_.devices = std::move(devices);
    state_.storeProblem = std::move(storeProblem);
    notify(HostField::devices);
}

void HostStatePublisher::setConnectedIDs(std::vector<std::string> ids) {
    if (ids == state_.connectedIDs) {
        return;
    }
    state_.connectedIDs = std::move(ids);
    notify(HostField::connectedIDs);
}

void HostStatePublisher::addConnected(const std::string& deviceID) {
    if (state_.isConnected(deviceID)) {
        return;
    }
    auto ids = state_.connectedIDs;
    ids.push_back(deviceID);
    setConnectedIDs(std::move(ids));
}

void HostStatePublisher::removeConnected(const std::string& deviceID) {
    auto ids = state_.connectedIDs;
    std::erase(ids, deviceID);
    setConnectedIDs(std::move(ids));
}

void HostStatePublisher::showPIN(std::string pin, std::optional<double> expiresAt) {
    if (state_.pairingPIN == pin && state_.pinExpiresAt == expiresAt && !state_.pairingExpired) {
        return;
    }
    state_.pairingPIN = std::move(pin);
    state_.pinExpiresAt = expiresAt;
    state_.pairingExpired = false;
    notify(HostField::pairingPIN);
}

void HostStatePublisher::hidePIN(bool expired) {
    if (!state_.pairingPIN) {
        return; // nothing shown: nothing to end, nothing that could have expired
    }
    state_.pairingPIN.reset();
    state_.pinExpiresAt.reset();
    state_.pairingExpired = expired;
    notify(HostField::pairingPIN);
}

void HostStatePublisher::setScreenLocked(bool locked) {
    if (locked == state_.isScreenLocked) {
        return;
    }
    state_.isScreenLocked = locked;
    notify(HostField::isScreenLocked);
}

void HostStatePublisher::setLastError(std::string text) {
    // Told every time, also when the text repeats: the failure happened again.
    state_.lastError = std::move(text);
    notify(HostField::lastError);
}

void HostStatePublisher::clearLastError() {
    if (state_.lastError) {
        state_.lastError.reset();
        notify(HostField::lastError);
    }
}

void HostStatePublisher::setActiveChannel(std::optional<HostChannel> channel) {
    if (channel == state_.activeChannel) {
        return;
    }
    state_.activeChannel = channel;
    notify(HostField::activeChannel);
}

void HostStatePublisher::publishNotice(HostNotice notice) {
    state_.notice = std::move(notice);
    notify(HostField::notice);
}

void HostStatePublisher::clearNotice(const std::function<bool(const HostNotice&)>& stale) {
    if (state_.notice && stale(*state_.notice)) {
        state_.notice.reset();
        notify(HostField::notice);
    }
}

void HostStatePublisher::setDiscoverable(bool discoverable) {
    if (discoverable == state_.discoverable) {
        return;
    }
    state_.discoverable = discoverable;
    notify(HostField::discoverable);
}

void HostStatePublisher::setPorts(std::optional<std::uint16_t> port,
                                  std::optional<std::uint16_t> pairingPort) {
    state_.port = port;
    state_.pairingPort = pairingPort;
}

} // namespace quillon
