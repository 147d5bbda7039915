#pragma once

#include "Quillon/Host/HostStatePublisher.hpp"
#include "Quillon/Host/LockPolicy.hpp"
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/InputTypes.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon::platform {
class Defaults;
class MainQueue;
} // namespace quillon::platform

namespace quillon {

class EventInjector;
class InputRouter;
class PairingExpiry;
class PairingStore;
class ScreenLockMonitor;
class TransportHub;
class TransportServer;
class ChannelArbiter;

// What the user can ask of the host, whichever surface asks (console, tray, window, `quillon
// ctl`, D-Bus): start and stop, open and end a pairing window, disconnect and unpair devices,
// report a problem, run the input probes. It reads and writes the published state and drives
// the host's pieces; it builds none of them (the composition root hands them over).
//
// The published state is read here for the surfaces' convenience (state(), the accessors and
// addObserver() are the publisher's). Main queue only, dispatch()/dispatchBurst() excepted (the
// delivering thread, as the input routing takes them).
class HostCoordinator : public std::enable_shared_from_this<HostCoordinator> {
public:
    using Field = HostField;
    using Observer = std::function<void(Field)>;

    struct Collaborators {
        std::shared_ptr<platform::MainQueue> mainQueue;
        // The probe settings ("scrollProbeFast", "gestureProbeOnLaunch", "scrollProbeOnLaunch");
        // must outlive the coordinator.
        platform::Defaults& defaults;
        std::shared_ptr<PairingStore> store;
        std::shared_ptr<HostStatePublisher> publisher;
        std::shared_ptr<TransportHub> transports;
        std::shared_ptr<InputRouter> input;
        // The probes inject through it.
        std::shared_ptr<EventInjector> injector;
        std::shared_ptr<LockPolicy> lockPolicy;
        // Watched between start() and stop(); none: the lock is never observed (handleLock()
        // and handleUnlock() still act when called).
        std::shared_ptr<ScreenLockMonitor> lockMonitor;
        std::shared_ptr<PairingExpiry> pairingExpiry;
        // Seconds on the system clock, for the pairing window.
        std::function<double()> clock;
    };
    explicit HostCoordinator(Collaborators collaborators);
    ~HostCoordinator();
    HostCoordinator(const HostCoordinator&) = delete;
    HostCoordinator& operator=(const HostCoordinator&) = delete;

    // Published state (main).
    const HostState& state() const noexcept { return c_.publisher->state(); }
    HostStatePublisher& publisher() noexcept { return *c_.publisher; }
    const std::vector<PairedDevice>& devices() const noexcept { return state().devices; }
    const std::optional<std::string>& storeProblem() const noexcept { return state().storeProblem; }
    const std::vector<std::string>& connectedIDs() const noexcept { return state().connectedIDs; }
    const std::optional<std::string>& pairingPIN() const noexcept { return state().pairingPIN; }
    bool isScreenLocked() const noexcept { return state().isScreenLocked; }
    const std::optional<std::string>& lastError() const noexcept { return state().lastError; }
    const std::optional<HostNotice>& notice() const noexcept { return state().notice; }
    bool pairingExpired() const noexcept { return state().pairingExpired; }
    bool discoverable() const noexcept { return state().discoverable; }
    std::optional<HostChannel> activeChannel() const noexcept { return state().activeChannel; }
    std::size_t addObserver(Observer observer) {
        return c_.publisher->subscribe(std::move(observer));
    }
    void removeObserver(std::size_t token) { c_.publisher->unsubscribe(token); }

    // What an operation the screen lock forbids did.
    enum class Outcome {
        done,
        screenLocked, // refused: nothing changed
        failed,       // told as the last error
    };

    // User-interface operations (main).
    void start();
    void stop();
    // The host is about to exit: the stop() sequence when start() ran; otherwise nothing.
    void beforeExit();
    Outcome beginPairing();
    void endPairing();
    // Ends a pairing window whose time ran out, saying so (pairingExpired()). The host's own
    // timer calls it; a surface never needs to.
    void expirePairing();
    void setDiscoverable(bool value) { c_.publisher->setDiscoverable(value); }
    void disconnect(const std::string& deviceID);
    Outcome unpair(const std::string& deviceID);
    void refreshDevices();
    // A problem of the host around the coordinator (an unreadable settings file), shown as the
    // last error.
    void reportProblem(std::string text);
    void probeGesture(wire::TrackpadGesture gesture);
    void probeScroll();
    // The probes the settings ask for at launch, a few seconds later (main).
    void scheduleLaunchProbes();

    // The input routing's and the lock policy's entry points, for tests and benches.
    void dispatch(const wire::ControlMessage& message, const std::string& deviceID);
    void dispatchBurst(std::span<const wire::ControlMessage> messages, const std::string& deviceID);
    void handleLock();
    void handleUnlock();
    // True when input would currently be dropped (any thread).
    bool inputGated() const noexcept;

    TransportHub& transports() noexcept { return *c_.transports; }
    TransportServer& server() noexcept;
    const ChannelArbiter& arbiter() const noexcept;

private:
    Collaborators c_;
    bool started_ = false;
};

} // namespace quillon
