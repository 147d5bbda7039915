#pragma once

#include "Quillon/Transport/TransportServer.hpp"
#include "Quillon/Transport/USBTransportManager.hpp"

#include <functional>
#include <memory>

namespace quillon::platform {
class Defaults;
class MainQueue;
class SerialQueue;
class ServiceAdvertiser;
class SessionLockSource;
} // namespace quillon::platform

namespace quillon {

class AppSwitching;
class ApplicationRequests;
class EventInjector;
class HostCoordinator;
class HostStatePublisher;
class InputDiagnostics;
class InputGate;
class InputLanes;
class InputRouter;
class LockPolicy;
class PairingExpiry;
class PairingStore;
class ScreenLockMonitor;
class Telemetry;
class TransportHub;

// What the host's own pieces stand on: the platform's collaborators, made by the host assembly
// for a real session, or by a test or a benchmark.
struct HostServices {
    std::shared_ptr<platform::MainQueue> mainQueue;
    // Must outlive the host.
    platform::Defaults& defaults;
    std::shared_ptr<PairingStore> store;
    std::shared_ptr<EventInjector> injector;
    // Closed while the screen is locked; the injector looks at it too.
    std::shared_ptr<InputGate> gate;
    std::shared_ptr<InputDiagnostics> diagnostics;
    // None: the launcher's requests are dropped.
    std::shared_ptr<AppSwitching> catalog;
    // None: nothing is counted.
    std::shared_ptr<Telemetry> telemetry;
    // The one source of the session's screen-lock signals; none: the lock is never observed.
    std::shared_ptr<platform::SessionLockSource> lockSource;
    // DNS-SD; none: nothing is advertised (the host still listens).
    std::shared_ptr<platform::ServiceAdvertiser> advertiser;
    // Seconds on the system clock; the real clock when empty.
    std::function<double()> clock;
};

struct HostOptions {
    // The network transport's (its advertiser and clock come from the services).
    TransportServerOptions server;
    // The cable transport's; without a display of its own it reports the server's.
    USBTransportOptions usb;
};

// The host's pieces, each built once over the services and handed what it works with: the
// transports' I/O queue (shared by the network and the cable), both transports, the published
// state, the input lanes and the worker that types long text, the input routing, the launcher's
// requests, the transport hub, the lock policy and the one screen-lock monitor (which also
// tells telemetry), the pairing window's timer, and the coordinator the surfaces drive. The
// paired devices are read and published once.
//
// Destroyed in the reverse order of building on the main thread, after the coordinator stopped:
// every thread the pieces own is joined by then. Main queue only.
class HostCore {
public:
    static std::unique_ptr<HostCore> assemble(HostServices services, HostOptions options = {});
    ~HostCore();
    HostCore(const HostCore&) = delete;
    HostCore& operator=(const HostCore&) = delete;

    HostCoordinator& coordinator() noexcept { return *coordinator_; }
    const std::shared_ptr<HostCoordinator>& sharedCoordinator() const noexcept {
        return coordinator_;
    }
    HostStatePublisher& publisher() noexcept { return *publisher_; }
    TransportHub& transports() noexcept { return *hub_; }
    InputRouter& input() noexcept { return *router_; }
    ScreenLockMonitor* lockMonitor() noexcept { return lockMonitor_.get(); }

private:
    explicit HostCore(HostServices services) : services_(std::move(services)) {}

    HostServices services_;
    std::shared_ptr<platform::SerialQueue> io_;
    std::shared_ptr<TransportServer> server_;
    std::shared_ptr<USBTransportManager> usb_;
    std::shared_ptr<HostStatePublisher> publisher_;
    std::shared_ptr<platform::SerialQueue> inputWorker_;
    std::shared_ptr<InputLanes> lanes_;
    std::shared_ptr<ApplicationRequests> requests_;
    std::shared_ptr<InputRouter> router_;
    std::shared_ptr<TransportHub> hub_;
    std::shared_ptr<LockPolicy> lockPolicy_;
    std::shared_ptr<ScreenLockMonitor> lockMonitor_;
    std::shared_ptr<PairingExpiry> pairingExpiry_;
    std::shared_ptr<HostCoordinator> coordinator_;
};

} // namespace quillon
