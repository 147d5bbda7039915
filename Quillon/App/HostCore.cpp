#include "Quillon/App/HostCore.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Host/ApplicationRequests.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostStatePublisher.hpp"
#include "Quillon/Host/InputLanes.hpp"
#include "Quillon/Host/InputRouter.hpp"
#include "Quillon/Host/LockPolicy.hpp"
#include "Quillon/Host/PairingExpiry.hpp"
#include "Quillon/Host/ScreenLockMonitor.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "Quillon/Host/TransportHub.hpp"
#include "Quillon/Input/InputGate.hpp"

#include <chrono>

namespace quillon {

namespace {

// Text waiting to be typed, per device. Typing runs at tens to thousands of characters a
// second, so this is minutes of typing; beyond it a device's text is dropped.
constexpr std::size_t kMaxPendingInput = 4 << 20;

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string describe(const std::exception& error) {
    if (const auto* server = dynamic_cast<const TransportServerError*>(&error)) {
        return server->description();
    }
    return error.what();
}

} // namespace

std::unique_ptr<HostCore> HostCore::assemble(HostServices services, HostOptions options) {
    if (!services.clock) {
        services.clock = systemNow;
    }
    std::unique_ptr<HostCore> core(new HostCore(std::move(services)));
    auto& s = core->services_;
    const auto mainQueue = s.mainQueue;

    // Both transports on one I/O queue.
    core->io_ = std::make_shared<platform::SerialQueue>("quillon-net");
    options.server.advertiser = s.advertiser;
    options.server.clock = s.clock;
    if (!options.usb.display) {
        options.usb.display = options.server.display;
    }
    core->server_ =
        std::make_shared<TransportServer>(s.store, core->io_, std::move(options.server));
    core->usb_ = USBTransportManager::create(s.store, core->io_, std::move(options.usb));

    core->publisher_ = std::make_shared<HostStatePublisher>();
    if (s.advertiser) {
        // Whether tablets can find the host: told by the advertiser, published on main.
        s.advertiser->setAvailabilityHandler(
            [weak = std::weak_ptr(core->publisher_), mainQueue](bool discoverable) {
                mainQueue->post([weak, discoverable] {
                    if (auto publisher = weak.lock()) {
                        publisher->setDiscoverable(discoverable);
                    }
                });
            });
    }

    // Input: one lane per device, long text typed on a worker of its own.
    core->inputWorker_ = std::make_shared<platform::SerialQueue>("quillon-input");
    core->lanes_ = InputLanes::create(
        {[mainQueue](std::function<void()> work) { mainQueue->post(std::move(work)); },
         [worker = std::weak_ptr(core->inputWorker_)](std::function<void()> work) {
             if (auto queue = worker.lock()) {
                 queue->async(std::move(work));
             }
         }},
        kMaxPendingInput);
    // Replies go by the device's channel: the hub, made below, routes them.
    auto hubHolder = std::make_shared<std::weak_ptr<TransportHub>>();
    core->requests_ = std::make_shared<ApplicationRequests>(
        s.catalog, mainQueue,
        [hubHolder](const wire::ControlMessage& reply, const std::string& deviceID) {
            if (auto hub = hubHolder->lock()) {
                hub->send(reply, deviceID);
            }
        });
    core->router_ =
        InputRouter::create({s.injector, s.gate, mainQueue, core->lanes_, s.diagnostics,
                             [weak = std::weak_ptr(core->requests_)](
                                 const wire::ControlMessage& message, const std::string& deviceID) {
                                 if (auto requests = weak.lock()) {
                                     requests->handle(message, deviceID);
                                 }
                             }});
    core->hub_ = TransportHub::create({s.store, core->server_, core->usb_, core->publisher_,
                                       core->router_, mainQueue, s.telemetry});
    *hubHolder = core->hub_;

    // The lock policy and the one monitor of the session's lock, which also tells telemetry.
    core->lockPolicy_ = std::make_shared<LockPolicy>(LockPolicy::Steps{
        [](LockEvent event) {
            platform::DiagLog::write(
                event == LockEvent::locked
                    ? i18n::tr("[lock] screen locked — releasing keys, closing every connection, "
                               "stopping the listeners")
                    : i18n::tr("[unlock] screen unlocked — resuming the listeners"));
        },
        [router = core->router_] { router->stopAll(); }, [hub = core->hub_] { hub->drop(); },
        [hub = core->hub_, publisher = core->publisher_] {
            try {
                hub->resume();
            } catch (const std::exception& error) {
                publisher->setLastError(i18n::fill(
                    i18n::tr("Could not resume listening after unlock: {1}"), {describe(error)}));
                return false;
            }
            publisher->clearLastError();
            return true;
        },
        [gate = s.gate, publisher = core->publisher_](bool locked) {
            // The gate changes with the published flag, before anyone is told.
            if (locked) {
                gate->close();
            } else {
                gate->open();
            }
            publisher->setScreenLocked(locked);
        }});
    if (s.lockSource) {
        const auto onChange = [policy = std::weak_ptr(core->lockPolicy_),
                               telemetry = s.telemetry](LockEvent event) {
            if (auto p = policy.lock()) {
                p->handle(event);
            }
            if (telemetry) {
                telemetry->setScreenLocked(event == LockEvent::locked);
            }
        };
        core->lockMonitor_ = std::make_shared<ScreenLockMonitor>(
            s.lockSource, mainQueue, [onChange] { onChange(LockEvent::locked); },
            [onChange] { onChange(LockEvent::unlocked); });
    }

    // The pairing window's one timer: an expired PIN leaves every surface at once.
    core->pairingExpiry_ = std::make_shared<PairingExpiry>(
        mainQueue,
        PairingExpiry::Hooks{
            [publisher = core->publisher_] { return publisher->state().pairingPIN.has_value(); },
            [publisher = core->publisher_, hub = core->hub_, clock = s.clock] {
                return pairingWindowOver(publisher->state().pairingPIN.has_value(),
                                         hub->pairingState(), clock());
            },
            [publisher = core->publisher_, hub = core->hub_] {
                hub->endPairing();
                publisher->hidePIN(/*expired=*/true);
            }});

    core->coordinator_ = std::make_shared<HostCoordinator>(HostCoordinator::Collaborators{
        mainQueue, s.defaults, s.store, core->publisher_, core->hub_, core->router_, s.injector,
        core->lockPolicy_, core->lockMonitor_, core->pairingExpiry_, s.clock});
    core->hub_->refreshDevices();
    return core;
}

HostCore::~HostCore() {
    // The monitor's thread and the transports' queues go before what they call into; the input
    // worker last, so no typing outlives the host.
    if (services_.advertiser) {
        services_.advertiser->setAvailabilityHandler({});
    }
    if (lockMonitor_) {
        lockMonitor_->stop();
    }
    coordinator_.reset();
    pairingExpiry_.reset();
    lockMonitor_.reset();
    lockPolicy_.reset();
    usb_.reset();
    server_.reset();
    hub_.reset();
    router_.reset();
    requests_.reset();
    lanes_->clearAll();
    lanes_.reset();
    inputWorker_.reset(); // joins
    publisher_.reset();
    io_.reset(); // joins when nothing else holds it
}

} // namespace quillon
