#include "Quillon/Console/HostControl.hpp"

#include "Platform/Defaults/DefaultsCommand.hpp"
#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Console/ConsoleText.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostState.hpp"
#include "Quillon/Host/PermissionChecker.hpp"
#include "Quillon/Host/Telemetry.hpp"

#include <chrono>
#include <iterator>

namespace quillon {

namespace {

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// HostNotice::Kind by the names Status() carries, in the enumeration's order.
constexpr const char* kNoticeKinds[] = {"wrongPIN", "unknownDevice", "badToken", "outdatedClient",
                                        "refused"};

} // namespace

platform::ControlState controlStateOf(const HostState& shown,
                                      const PermissionChecker::Status& permission, bool telemetry,
                                      const std::string& serviceName, bool revealPIN, double now) {
    platform::ControlState s;
    if (revealPIN) {
        s.pin = shown.pairingPIN;
    }
    s.locked = shown.isScreenLocked;
    s.lastError = shown.lastError;
    if (shown.activeChannel) {
        s.channel = rawValue(*shown.activeChannel);
    }
    s.permitted = permission.permitted;
    s.permissionReason = permission.reason;
    s.telemetry = telemetry;
    s.serviceName = serviceName;
    s.port = shown.port;
    s.pairingPort = shown.pairingPort;
    s.pinSecondsLeft = pinSecondsLeft(shown, now);
    if (shown.pairingPIN) {
        s.pinExpiresAt = shown.pinExpiresAt;
    }
    s.pairingExpired = shown.pairingExpired;
    s.storeProblem = shown.storeProblem;
    if (shown.notice) {
        const auto& n = *shown.notice;
        s.notice = noticeLine(n);
        s.noticeDetail = platform::ControlNotice{kNoticeKinds[static_cast<int>(n.kind)],
                                                 rawValue(n.channel), n.source, n.code, n.reason};
    }
    s.discoverable = shown.discoverable;
    s.guide = permission.guide.steps;
    s.offersKdeGrant = permission.guide.offersKdeGrant;
    return s;
}

HostState hostStateOf(const platform::ControlState& status,
                      const std::vector<platform::ControlDevice>& devices,
                      const std::optional<std::string>& pin) {
    HostState state;
    for (const auto& d : devices) {
        PairedDevice device;
        device.deviceID = d.id;
        device.deviceName = d.name;
        state.devices.push_back(std::move(device));
        if (d.connected) {
            state.connectedIDs.push_back(d.id);
        }
    }
    // A window is open while its countdown runs.
    if (status.pin || status.pinSecondsLeft) {
        state.pairingPIN = status.pin ? status.pin : pin;
        if (!state.pairingPIN) {
            state.pairingPIN = std::string();
        }
        state.pinExpiresAt = status.pinExpiresAt;
    }
    state.isScreenLocked = status.locked;
    state.lastError = status.lastError;
    if (status.channel == "usb") {
        state.activeChannel = HostChannel::usb;
    } else if (status.channel == "wifi") {
        state.activeChannel = HostChannel::wifi;
    }
    if (const auto& n = status.noticeDetail) {
        HostNotice notice;
        for (std::size_t i = 0; i < std::size(kNoticeKinds); ++i) {
            if (n->kind == kNoticeKinds[i]) {
                notice.kind = static_cast<HostNotice::Kind>(i);
            }
        }
        notice.channel = n->channel == "usb" ? HostChannel::usb : HostChannel::wifi;
        notice.source = n->source;
        notice.code = n->code;
        notice.reason = n->reason;
        state.notice = std::move(notice);
    }
    state.storeProblem = status.storeProblem;
    state.pairingExpired = status.pairingExpired;
    state.discoverable = status.discoverable;
    state.port = status.port;
    state.pairingPort = status.pairingPort;
    return state;
}

PermissionChecker::Status permissionOf(const platform::ControlState& status) {
    PermissionChecker::Status permission;
    permission.permitted = status.permitted;
    permission.reason = status.permissionReason;
    permission.guide.steps = status.guide;
    permission.guide.offersKdeGrant = status.offersKdeGrant;
    return permission;
}

HostControl::HostControl(std::shared_ptr<HostCoordinator> coordinator,
                         std::shared_ptr<Telemetry> telemetry, Hooks hooks)
    : coordinator_(std::move(coordinator)), telemetry_(std::move(telemetry)),
      hooks_(std::move(hooks)) {}

platform::ControlState HostControl::state() {
    const auto permission =
        hooks_.permission ? hooks_.permission() : PermissionChecker::Status{false, {}, {}};
    return controlStateOf(coordinator_->state(), permission, telemetry_ && telemetry_->isEnabled(),
                          hooks_.serviceName, hooks_.revealPIN,
                          hooks_.clock ? hooks_.clock() : systemNow());
}

std::vector<platform::ControlDevice> HostControl::devices() {
    std::vector<platform::ControlDevice> out;
    const auto& ids = coordinator_->connectedIDs();
    for (const auto& d : coordinator_->devices()) {
        out.push_back(
            {d.deviceID, d.deviceName, std::find(ids.begin(), ids.end(), d.deviceID) != ids.end()});
    }
    return out;
}

std::string HostControl::pair() {
    const auto errorBefore = coordinator_->lastError();
    if (coordinator_->beginPairing() == HostCoordinator::Outcome::screenLocked) {
        throw platform::ControlError(platform::control::errorLocked,
                                     i18n::tr("the screen is locked: unlock it to pair a device"));
    }
    if (const auto& pin = coordinator_->pairingPIN()) {
        return hooks_.revealPIN ? *pin : std::string();
    }
    // beginPairing() reports its failure as the last error.
    const auto& error = coordinator_->lastError();
    throw platform::ControlError(
        platform::control::errorFailed,
        error && error != errorBefore ? *error : i18n::tr("the pairing window did not open"));
}

void HostControl::cancel() {
    coordinator_->endPairing();
}

std::string HostControl::resolve(const std::string& device) {
    if (auto id = console::resolveDevice(coordinator_->devices(), device)) {
        return *id;
    }
    // Named, not echoed whole: the argument is whatever the caller sent.
    throw platform::ControlError(
        platform::control::errorNoSuchDevice,
        i18n::fill(i18n::tr("no such device: {1}"), {platform::safeText(device, 64)}));
}

void HostControl::disconnect(const std::string& device) {
    coordinator_->disconnect(resolve(device));
}

void HostControl::unpair(const std::string& device) {
    if (coordinator_->unpair(resolve(device)) == HostCoordinator::Outcome::screenLocked) {
        throw platform::ControlError(
            platform::control::errorLocked,
            i18n::tr("the screen is locked: unlock it to unpair a device"));
    }
}

void HostControl::setTelemetry(bool enabled) {
    if (telemetry_) {
        telemetry_->setEnabled(enabled);
    }
}

void HostControl::show() {
    if (hooks_.show) {
        hooks_.show();
    }
}

void HostControl::quit() {
    if (hooks_.quit) {
        hooks_.quit();
    }
}

std::string HostControl::pairingCode(bool callerIsThisProgram) {
    if (!hooks_.revealPIN && !callerIsThisProgram) {
        throw platform::ControlError(
            platform::control::errorNotAllowed,
            i18n::tr("the pairing code is shown only on the screen, in Quillon's own window"));
    }
    return coordinator_->pairingPIN().value_or("");
}

std::map<std::string, std::string> HostControl::settings() {
    return hooks_.defaults != nullptr ? platform::settingTexts(*hooks_.defaults)
                                      : std::map<std::string, std::string>{};
}

void HostControl::setSetting(const std::string& key, const std::string& value) {
    if (hooks_.defaults == nullptr) {
        throw platform::ControlError(platform::control::errorFailed,
                                     i18n::tr("this host keeps no settings"));
    }
    if (auto refusal = platform::writeSetting(*hooks_.defaults, key, value)) {
        throw platform::ControlError(platform::control::errorInvalidValue,
                                     platform::safeText(*refusal, 512));
    }
}

void HostControl::restart() {
    if (!hooks_.restart) {
        throw platform::ControlError(platform::control::errorFailed,
                                     i18n::tr("this host cannot start again by itself"));
    }
    hooks_.restart();
}

} // namespace quillon
