#include "Quillon/Host/HostState.hpp"

#include "Quillon/Host/HostCoordinator.hpp"

#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Locale/Translation.hpp"

#include <cmath>

namespace quillon {

HostState snapshot(HostCoordinator& c) {
    HostState s;
    s.devices = c.devices();
    s.connectedIDs = c.connectedIDs();
    s.pairingPIN = c.pairingPIN();
    s.isScreenLocked = c.isScreenLocked();
    s.lastError = c.lastError();
    s.activeChannel = c.activeChannel();
    s.notice = c.notice();
    s.storeProblem = c.storeProblem();
    if (c.pairingPIN()) {
        const auto state = c.server().pairingState();
        if (const auto* open = std::get_if<PairingSession::Open>(&state)) {
            s.pinExpiresAt = open->expiresAt;
        }
    }
    s.pairingExpired = c.pairingExpired();
    s.discoverable = c.discoverable();
    s.port = c.server().mainPort();
    s.pairingPort = c.server().pairingPort();
    return s;
}

std::optional<int> pinSecondsLeft(const HostState& state, double now) {
    if (!state.pairingPIN || !state.pinExpiresAt) {
        return std::nullopt;
    }
    const double left = *state.pinExpiresAt - now;
    return left <= 0 ? 0 : static_cast<int>(std::ceil(left));
}

TrayStatus trayStatus(const HostState& state, bool permitted) {
    if (!permitted || state.storeProblem || !state.discoverable || state.lastError) {
        return TrayStatus::needsAttention;
    }
    return state.connectedIDs.empty() ? TrayStatus::idle : TrayStatus::connected;
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

const char* trayIconName(TrayStatus status) {
    switch (status) {
    case TrayStatus::idle:
        return "quillon";
    case TrayStatus::connected:
        return "quillon-connected";
    case TrayStatus::needsAttention:
        return "quillon-attention";
    }
    return "quillon";
}

std::string trayToolTip(const HostState& state, bool permitted) {
    std::string text = "Quillon";
    const auto line = [&text](const std::string& more) { text += "\n" + more; };
    if (!permitted) {
        line(i18n::tr("Input permission needed"));
    }
    if (state.storeProblem) {
        line(i18n::tr("The pairing records cannot be read"));
    }
    if (!state.discoverable) {
        line(i18n::tr("Tablets cannot find this computer"));
    }
    if (state.lastError) {
        line(platform::safeText(*state.lastError, 200));
    }
    if (state.connectedIDs.empty()) {
        line(i18n::tr("Not connected"));
    }
    for (const auto& d : state.devices) {
        if (state.isConnected(d.deviceID)) {
            line(i18n::fill(state.activeChannel == HostChannel::usb
                                ? i18n::tr("Connected: {1} (USB cable)")
                                : i18n::tr("Connected: {1} (Wi-Fi)"),
                            {platform::safeText(d.deviceName, 64)}));
        }
    }
    if (state.pairingPIN) {
        line(i18n::fill(i18n::tr("Pairing code: {1}"), {*state.pairingPIN}));
    }
    return text;
}

} // namespace quillon
