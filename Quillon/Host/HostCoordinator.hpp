#pragma once

#include "Quillon/Host/ChannelArbiter.hpp"
#include "Quillon/Host/HostNotice.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Input/InputGate.hpp"
#include "Quillon/Pairing/PairedDevice.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "Quillon/Transport/USBTransportManager.hpp"
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/InputTypes.hpp"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace quillon::platform {
class Defaults;
class ServiceAdvertiser;
class MainQueue;
class SessionLockSource;
} // namespace quillon::platform

namespace quillon {

class AppSwitching;
class InputDiagnostics;
class InputLanes;
class ScreenLockMonitor;
class Telemetry;

namespace platform {
class SerialQueue;
}

// The host's central object: owns the Wi-Fi transport server, the screen-lock monitor and the
// channel arbiter, holds the shared pairing store, injector and application catalog, receives
// every transport event, routes each message to the injector or the catalog, and publishes the
// state the user interface shows.
//
// Threads: published state, the arbiter and every operation below marked "main" run on the main
// queue only. The transport calls the delegate operations on its own queue; they only log, post
// to the main queue, or inject input directly (the eight input messages), gated by an atomic
// that mirrors isScreenLocked without touching published state.
class HostCoordinator : public TransportServerDelegate,
                        public std::enable_shared_from_this<HostCoordinator> {
public:
    // A published field, named in change notifications.
    enum class Field {
        devices,
        connectedIDs,
        pairingPIN,
        isScreenLocked,
        lastError,
        activeChannel,
        notice,
        discoverable
    };
    using Observer = std::function<void(Field)>;

    // The host-wide services the coordinator works with.
    struct Services {
        // Where published state lives and every "main" operation runs. Required.
        std::shared_ptr<platform::MainQueue> mainQueue;
        // The probe settings ("scrollProbeFast", "gestureProbeOnLaunch", "scrollProbeOnLaunch");
        // must outlive the coordinator.
        platform::Defaults& defaults;
        // Logs and times the input it routes. Required.
        std::shared_ptr<InputDiagnostics> diagnostics;
        // Counts pairings and admissions; none: nothing is counted.
        std::shared_ptr<Telemetry> telemetry;
        // Screen-lock observations, watched between start() and stop(); none: the lock is never
        // observed (handleLock/handleUnlock still act when called).
        std::shared_ptr<platform::SessionLockSource> lockSource;
    };

    struct Options {
        // Handed to the transport server (display for helloAck, service advertiser, clock).
        TransportServerOptions server;
        // Handed to the USB transport (where usbmuxd is, poll interval); without a display of
        // its own it reports the server's.
        USBTransportOptions usb;
        // Seconds on the system clock, for the pairing window; the real clock when empty.
        std::function<double()> clock;
        // Closed while the screen is locked; shared with the injector so that long work
        // stops at once. A gate of its own when absent.
        std::shared_ptr<InputGate> inputGate;
    };

    // Builds the coordinator (main): creates the transport server over the same store with this
    // coordinator as its delegate, loads the paired devices and, with `autoStart`, starts
    // everything, schedules the launch probes and arms the before-exit sequence.
    // `appSwitching` may be null (no application catalog: list and activate requests are
    // dropped).
    static std::shared_ptr<HostCoordinator> create(std::shared_ptr<PairingStore> store,
                                                   std::shared_ptr<EventInjector> injector,
                                                   bool autoStart,
                                                   std::shared_ptr<AppSwitching> appSwitching,
                                                   Services services, Options options = {});
    ~HostCoordinator() override;
    HostCoordinator(const HostCoordinator&) = delete;
    HostCoordinator& operator=(const HostCoordinator&) = delete;

    // Published state (main).
    const std::vector<PairedDevice>& devices() const noexcept { return devices_; }
    // Why the pairing store cannot be read, when it cannot (then devices() is empty because
    // nothing could be read, not because nothing is paired). Changes are told as devices.
    const std::optional<std::string>& storeProblem() const noexcept { return storeProblem_; }
    const std::vector<std::string>& connectedIDs() const noexcept { return connectedIDs_; }
    const std::optional<std::string>& pairingPIN() const noexcept { return pairingPIN_; }
    bool isScreenLocked() const noexcept { return isScreenLocked_; }
    const std::optional<std::string>& lastError() const noexcept { return lastError_; }
    // The last peer turned away, while it still matters: a newer one replaces it; a wrong PIN
    // goes when a device pairs or a new window opens, a refused device when a device gets in
    // on that channel.
    const std::optional<HostNotice>& notice() const noexcept { return notice_; }
    // The last pairing window ran out (the surfaces ended it with expirePairing()); false again
    // once a window opens.
    bool pairingExpired() const noexcept { return pairingExpired_; }
    // Whether tablets can find the host by DNS-SD (the advertiser's daemon runs); true until
    // told otherwise. Changes are told as discoverable.
    bool discoverable() const noexcept { return discoverable_; }
    std::optional<HostChannel> activeChannel() const noexcept { return activeChannel_; }
    const ChannelArbiter& arbiter() const noexcept { return arbiter_; }

    // Observers run on the main queue right after each change of a published field. Returns a
    // token for removeObserver (main).
    std::size_t addObserver(Observer observer);
    void removeObserver(std::size_t token);

    // What an operation the screen lock forbids did.
    enum class Outcome {
        done,
        screenLocked, // refused: nothing changed
        failed,       // told as the last error
    };

    // User-interface operations (main). The lock is the lock whichever surface asks (console,
    // tray, `quillon ctl`, D-Bus): while the screen is locked no pairing window opens and no
    // device is unpaired, and screenLocked comes back for the surface to say so.
    void start();
    void stop();
    Outcome beginPairing();
    void endPairing();
    // Ends a pairing window whose time ran out, saying so (pairingExpired()).
    void expirePairing();
    // What the DNS-SD advertiser tells (main); the coordinator listens to the server's
    // advertiser itself.
    void setDiscoverable(bool value);
    void disconnect(const std::string& deviceID);
    Outcome unpair(const std::string& deviceID);
    void refreshDevices();
    // A problem of the host around the coordinator (an unreadable settings file), shown as the
    // last error.
    void reportProblem(std::string text);
    void probeGesture(wire::TrackpadGesture gesture);
    void probeScroll();
    // The host is about to exit (main): the stop() sequence, when armed by an autoStart
    // construction; otherwise nothing.
    void beforeExit();

    // TransportServerDelegate (the transport's queue).
    void didAccept(const PairedDevice& device) override;
    void didReceive(const wire::ControlMessage& message, const std::string& deviceID) override;
    void didReceiveBurst(std::span<const wire::ControlMessage> messages,
                         const std::string& deviceID) override;
    void didDisconnect(const std::string& deviceID) override;
    void didPair(const PairedDevice& device) override;
    void didFail(const TransportError& error) override;
    void didRefuse(const TransportRefusal& refusal) override;

    // The paths both transports share; public so that the USB transport can be wired to them.
    // handleAccept: the delivering thread. handleDisconnect: main. dispatch: the delivering
    // thread (input injected there, the rest posted to main).
    void handleAccept(const PairedDevice& device, HostChannel channel);
    void handleDisconnect(const std::string& deviceID, HostChannel channel);
    void dispatch(const wire::ControlMessage& message, const std::string& deviceID);
    // The messages of one read (the delivering thread): each dispatched, and the synthesised
    // input of all of them flushed to the display server once, after the last.
    void dispatchBurst(std::span<const wire::ControlMessage> messages, const std::string& deviceID);
    // Screen lock and unlock (main), as the lock monitor calls them. A lock reaches the
    // transport once: its sessions, listeners and pairing window go in one stop.
    void handleLock();
    void handleUnlock();

    TransportServer& server() noexcept { return *server_; }
    // The USB transport, created on first use (main) with its callbacks wired to the paths
    // above: accept and close through the arbiter with the usb channel, messages dispatched as
    // Wi-Fi ones, replies to a device on usb sent on the cable.
    USBTransportManager& usb();
    // True when input would currently be dropped (any thread).
    bool inputGated() const noexcept { return !inputGate_->isOpen(); }

private:
    HostCoordinator(std::shared_ptr<PairingStore> store, std::shared_ptr<EventInjector> injector,
                    std::shared_ptr<AppSwitching> appSwitching, Services services, Options options);

    // What injectNow() did with a message: sent it out at once with its flush done or left to
    // a later message, or handed it on (a lane, the main thread, the worker) or dropped it.
    enum class Injected { flushed, pending, no };
    Injected injectNow(const wire::ControlMessage& message, const std::string& deviceID,
                       EventInjector::Flush flush);
    void receive(const wire::ControlMessage& message, const std::string& deviceID);
    void inject(const wire::ControlMessage& message, EventInjector::Flush flush);
    void requestApplicationList(const std::string& deviceID);
    void scheduleLaunchProbes();
    void postToMain(std::function<void(HostCoordinator&)> work);
    double now() const;

    void setDevices(std::vector<PairedDevice> value, std::optional<std::string> storeProblem);
    void setConnectedIDs(std::vector<std::string> value);
    void setPairingPIN(std::optional<std::string> value);
    void setScreenLocked(bool value);
    void setLastError(std::string value);
    // A failure that is over (listening started, a window opened): its line goes.
    void clearLastError();
    void publishNotice(HostNotice notice);
    void clearNotice(const std::function<bool(const HostNotice&)>& stale);
    void setActiveChannel(std::optional<HostChannel> value);
    void notify(Field field);

    std::vector<PairedDevice> devices_;
    std::optional<std::string> storeProblem_;
    std::vector<std::string> connectedIDs_;
    std::optional<std::string> pairingPIN_;
    bool isScreenLocked_ = false;
    std::optional<std::string> lastError_;
    std::optional<HostNotice> notice_;
    bool pairingExpired_ = false;
    bool discoverable_ = true;
    Services services_;
    std::shared_ptr<PairingStore> store_;
    std::shared_ptr<EventInjector> injector_;
    std::unique_ptr<TransportServer> server_;
    std::shared_ptr<platform::ServiceAdvertiser> advertiser_; // the server's
    std::shared_ptr<AppSwitching> appSwitching_;
    ChannelArbiter arbiter_;
    std::optional<HostChannel> activeChannel_;
    std::shared_ptr<USBTransportManager> usb_;
    USBTransportOptions usbOptions_;
    std::unique_ptr<ScreenLockMonitor> lockMonitor_;
    bool terminationArmed_ = false;
    std::function<double()> clock_;

    // Mirrors isScreenLocked for the transport queues; written only together with it.
    std::shared_ptr<InputGate> inputGate_;

    // One order per device across the immediate and the main-thread path; long text is typed
    // piecewise on its own thread.
    std::shared_ptr<platform::SerialQueue> inputWorker_;
    std::shared_ptr<InputLanes> lanes_;
    // Devices whose application list is being built (main).
    std::set<std::string> listsInFlight_;

    std::vector<std::pair<std::size_t, Observer>> observers_;
    std::size_t nextObserverToken_ = 1;
};

} // namespace quillon
