#include "Quillon/Host/HostControl.hpp"

#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Console/ConsoleText.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostState.hpp"
#include "Quillon/Host/PermissionChecker.hpp"
#include "Quillon/Host/Telemetry.hpp"

#include <chrono>

namespace quillon {

namespace {

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

HostControl::HostControl(std::shared_ptr<HostCoordinator> coordinator,
                         std::shared_ptr<Telemetry> telemetry, Hooks hooks)
    : coordinator_(std::move(coordinator)), telemetry_(std::move(telemetry)),
      hooks_(std::move(hooks)) {}

platform::ControlState HostControl::state() {
    auto& c = *coordinator_;
    const auto permission =
        hooks_.permission ? hooks_.permission() : PermissionChecker::Status{false, {}, {}};
    platform::ControlState s;
    if (hooks_.revealPIN) {
        s.pin = c.pairingPIN();
    }
    s.locked = c.isScreenLocked();
    s.lastError = c.lastError();
    if (c.activeChannel()) {
        s.channel = *c.activeChannel() == HostChannel::usb ? "usb" : "wifi";
    }
    s.permitted = permission.permitted;
    s.permissionReason = permission.reason;
    s.telemetry = telemetry_ && telemetry_->isEnabled();
    s.serviceName = hooks_.serviceName;
    const HostState shown = snapshot(c);
    s.port = shown.port;
    s.pairingPort = shown.pairingPort;
    s.pinSecondsLeft = pinSecondsLeft(shown, hooks_.clock ? hooks_.clock() : systemNow());
    s.pairingExpired = shown.pairingExpired;
    s.storeProblem = shown.storeProblem;
    if (shown.notice) {
        s.notice = console::noticeLine(*shown.notice);
    }
    s.discoverable = shown.discoverable;
    s.guide = permission.guide.steps;
    return s;
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

} // namespace quillon
