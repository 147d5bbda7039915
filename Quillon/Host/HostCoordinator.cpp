#include "Quillon/Host/HostCoordinator.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Host/InputRouter.hpp"
#include "Quillon/Host/PairingExpiry.hpp"
#include "Quillon/Host/ScreenLockMonitor.hpp"
#include "Quillon/Host/TransportHub.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "Quillon/Transport/TransportServer.hpp"

#include <chrono>
#include <exception>

namespace quillon {

namespace {

using platform::DiagLog::write;

constexpr auto kLaunchProbeDelay = std::chrono::milliseconds(3000);

std::string describe(const std::exception& error) {
    if (const auto* server = dynamic_cast<const TransportServerError*>(&error)) {
        return server->description();
    }
    return error.what();
}

} // namespace

HostCoordinator::HostCoordinator(Collaborators collaborators) : c_(std::move(collaborators)) {}

HostCoordinator::~HostCoordinator() = default;

TransportServer& HostCoordinator::server() noexcept {
    return c_.transports->server();
}

const ChannelArbiter& HostCoordinator::arbiter() const noexcept {
    return c_.transports->arbiter();
}

bool HostCoordinator::inputGated() const noexcept {
    return c_.input->gated();
}

void HostCoordinator::dispatch(const wire::ControlMessage& message, const std::string& deviceID) {
    c_.input->dispatch(message, deviceID);
}

void HostCoordinator::dispatchBurst(std::span<const wire::ControlMessage> messages,
                                    const std::string& deviceID) {
    c_.input->dispatchBurst(messages, deviceID);
}

void HostCoordinator::handleLock() {
    c_.lockPolicy->handle(LockEvent::locked);
}

void HostCoordinator::handleUnlock() {
    c_.lockPolicy->handle(LockEvent::unlocked);
}

// MARK: user-interface operations

void HostCoordinator::start() {
    started_ = true;
    if (c_.lockMonitor) {
        c_.lockMonitor->start();
    }
    try {
        c_.transports->start();
        c_.publisher->clearLastError();
    } catch (const std::exception& error) {
        c_.publisher->setLastError(
            i18n::fill(i18n::tr("Could not start listening: {1}"), {describe(error)}));
    }
}

void HostCoordinator::stop() {
    started_ = false;
    if (c_.lockMonitor) {
        c_.lockMonitor->stop();
    }
    c_.pairingExpiry->stop();
    c_.transports->stop();
    c_.input->releaseAll();
}

void HostCoordinator::beforeExit() {
    if (started_) {
        stop();
    }
}

HostCoordinator::Outcome HostCoordinator::beginPairing() {
    if (!c_.lockPolicy->permits(GuardedOperation::openPairingWindow)) {
        write(i18n::tr("[pairing] the screen is locked; no pairing window opened"));
        return Outcome::screenLocked;
    }
    try {
        // A window whose pairing could never be saved would show a PIN that only wastes the
        // user's time: the store must answer first.
        c_.store->hostSecret();
        auto [pin, expiresAt] = c_.transports->beginPairing(c_.clock());
        auto& publisher = *c_.publisher;
        publisher.clearLastError();
        publisher.clearNotice(
            [](const HostNotice& n) { return n.kind == HostNotice::Kind::wrongPIN; });
        publisher.showPIN(std::move(pin), expiresAt);
        c_.pairingExpiry->watch();
        return Outcome::done;
    } catch (const std::exception& error) {
        c_.publisher->setLastError(
            i18n::fill(i18n::tr("Could not open pairing: {1}"), {describe(error)}));
        return Outcome::failed;
    }
}

void HostCoordinator::endPairing() {
    c_.transports->endPairing();
    c_.publisher->hidePIN();
}

void HostCoordinator::expirePairing() {
    c_.transports->endPairing();
    c_.publisher->hidePIN(/*expired=*/true);
}

void HostCoordinator::disconnect(const std::string& deviceID) {
    c_.transports->disconnect(deviceID);
}

HostCoordinator::Outcome HostCoordinator::unpair(const std::string& deviceID) {
    if (!c_.lockPolicy->permits(GuardedOperation::unpair)) {
        write(i18n::tr("[pairing] the screen is locked; no device unpaired"));
        return Outcome::screenLocked;
    }
    c_.transports->disconnect(deviceID);
    try {
        c_.store->remove(deviceID);
    } catch (const std::exception&) {
        // The device stays listed; nothing to tell the user beyond that.
    }
    refreshDevices();
    return Outcome::done;
}

void HostCoordinator::refreshDevices() {
    c_.transports->refreshDevices();
}

void HostCoordinator::reportProblem(std::string text) {
    c_.publisher->setLastError(std::move(text));
}

void HostCoordinator::probeGesture(wire::TrackpadGesture gesture) {
    write(diagnostics::gestureProbeLine(gesture));
    c_.injector->handle(wire::cm::Gesture{gesture});
}

void HostCoordinator::probeScroll() {
    const bool fast = c_.defaults.boolean("scrollProbeFast").value_or(false);
    write(diagnostics::scrollProbeStartLine(fast));
    c_.injector->resetScrollStats();
    std::weak_ptr<HostCoordinator> weak = weak_from_this();
    std::weak_ptr<EventInjector> weakInjector = c_.injector;
    c_.injector->probeScroll(fast, [weak, weakInjector, fast] {
        auto self = weak.lock();
        auto injector = weakInjector.lock();
        if (!self || !injector) {
            return;
        }
        const auto [total, peak] = injector->scrollStats();
        write(diagnostics::scrollProbeEndLine(fast, peak, total));
    });
}

void HostCoordinator::scheduleLaunchProbes() {
    auto& defaults = c_.defaults;
    std::weak_ptr<HostCoordinator> weak = weak_from_this();
    if (const auto gesture =
            diagnostics::launchProbeGesture(defaults.string("gestureProbeOnLaunch"))) {
        c_.mainQueue->postAfter(kLaunchProbeDelay, [weak, g = *gesture] {
            if (auto self = weak.lock()) {
                self->probeGesture(g);
            }
        });
    }
    if (defaults.boolean("scrollProbeOnLaunch").value_or(false)) {
        c_.mainQueue->postAfter(kLaunchProbeDelay, [weak] {
            if (auto self = weak.lock()) {
                self->probeScroll();
            }
        });
    }
}

} // namespace quillon
