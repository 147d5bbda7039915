#include "Quillon/App/HostApp.hpp"

#include "Platform/Control/ControlBus.hpp"
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Defaults/SettingKeys.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Input/InputBackendFactory.hpp"
#include "Platform/Keychain/Keychain.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Platform/Network/HttpClient.hpp"
#include "Platform/Notifications/DesktopNotifier.hpp"
#include "Platform/Session/SessionLockSource.hpp"
#include "Quillon/App/HostCore.hpp"
#include "Quillon/Catalog/AppCatalog.hpp"
#include "Quillon/Catalog/AppCatalogService.hpp"
#include "Quillon/Console/ControlCommand.hpp"
#include "Quillon/Console/HostControl.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostNotifications.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Host/LaunchEnvironment.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Input/InputGate.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Pairing/KeychainPairingStore.hpp"

#include <csignal>
#include <cstdio>
#include <iostream>

namespace quillon {

std::string launchLogLine(bool permitted, const std::string& path) {
    return i18n::fill(i18n::tr("=== start, input permission = {1}, path = {2}"),
                      {permitted ? "true" : "false", path});
}

HostApp::HostApp(platform::Defaults& defaults, std::shared_ptr<platform::MainQueue> mainQueue)
    : defaults_(defaults), passive_(isPassiveMode()) {
    std::shared_ptr<PairingStore> store;
    if (passive_) {
        store = std::make_shared<InMemoryPairingStore>();
    } else {
        store = std::make_shared<KeychainPairingStore>(
            KeychainPairingStore::defaultService,
            std::make_shared<platform::Keychain>(platform::Keychain::defaultPath()));
    }
    // The session decides the input backend and the display geometry that goes with it (X11,
    // or a Wayland compositor's own interface and outputs).
    auto session = platform::makeSessionInput(defaults);
    choice_ = session.choice;
    auto geometry = session.geometry;
    // Control messages become the verbs of the session's input backend; momentum ticks on a
    // queue of its own, so typing a long text never delays them.
    auto gate = std::make_shared<InputGate>();
    inputTimers_ = std::make_shared<platform::SerialQueue>("quillon-momentum");
    auto injector = EventInjector::create({.backend = std::move(session.backend),
                                           .geometry = geometry,
                                           .defaults = defaults,
                                           .gate = gate,
                                           .scheduler = inputTimers_});
    // Read from the backend's own connection: a poll costs no new connection to the display.
    inputPermission_ = [choice = choice_, weak = std::weak_ptr<EventInjector>(injector)] {
        if (!choice.refusal.empty()) {
            return platform::InputPermission{false, choice.refusal};
        }
        auto injector = weak.lock();
        return injector ? injector->permission()
                        : platform::InputPermission{false, "the host is stopping"};
    };
    CatalogOptions catalogOptions;
    catalogOptions.defaults = &defaults;
    auto catalog =
        std::make_shared<AppCatalogService>(AppCatalog::defaultSearchRoots(), catalogOptions);
    Telemetry::Options telemetryOptions;
    telemetryOptions.passive = passive_;
    telemetryOptions.inputPermission = [permission = inputPermission_] {
        return permission().permitted;
    };
    telemetry_ = std::make_shared<Telemetry>(
        Telemetry::Services{defaults, platform::makeCurlHttpClient()}, telemetryOptions);

    HostOptions options;
    options.server.display = geometry;
    // Named here rather than by the server, so the console can say which name the tablet
    // will list: the user's choice, else the machine's name.
    serviceName_ = defaults.string("computerName").value_or("");
    if (serviceName_.empty()) {
        serviceName_ = platform::prettyHostName();
    }
    options.server.serviceName = serviceName_;
    options.server.port = platform::fixedPort(defaults.value("port")).value_or(0);
    core_ = HostCore::assemble(
        {mainQueue,
         defaults,
         store,
         injector,
         gate,
         InputDiagnostics::toDiagLog(defaults),
         catalog,
         telemetry_,
         // The session bus (and logind's system bus) opened once, for the one monitor.
         std::shared_ptr<platform::SessionLockSource>(platform::makeDBusSessionLockSource()),
         platform::makeAvahiAdvertiser(),
         {}},
        std::move(options));

    HostNotifications::Options notificationOptions;
    notificationOptions.permitted = [permission = inputPermission_] {
        return permission().permitted;
    };
    notifications_ = std::make_shared<HostNotifications>(
        core_->sharedCoordinator(), mainQueue, platform::makeFreedesktopNotifier("Quillon"),
        defaults, notificationOptions);
}

HostApp::~HostApp() {
    stop();
    notifications_.reset();
    core_.reset(); // every thread of the host's pieces joined
    telemetry_.reset();
}

HostCoordinator& HostApp::coordinator() noexcept {
    return core_->coordinator();
}

const std::shared_ptr<HostCoordinator>& HostApp::sharedCoordinator() const noexcept {
    return core_->sharedCoordinator();
}

void HostApp::start() {
    if (!passive_) {
        coordinator().start();
        coordinator().scheduleLaunchProbes();
    }
    notifications_->attach();
    const auto permission = this->permission();
    platform::DiagLog::write(
        launchLogLine(permission.permitted, PermissionChecker::executablePath()));
    if (!choice_.note.empty()) {
        platform::DiagLog::write(choice_.note);
    }
    if (const auto problem = defaults_.problem()) {
        // Every setting then keeps its default: the user should know why their settings have
        // no effect, in the log and in whichever console shows the host (the last error).
        platform::DiagLog::write(i18n::fill(
            i18n::tr("[settings] the settings file cannot be used; every setting keeps its "
                     "default: {1}"),
            {*problem}));
        coordinator().reportProblem(i18n::fill(
            i18n::tr("The settings file cannot be used; every setting keeps its default: {1}"),
            {*problem}));
    }
    telemetry_->start();
}

void HostApp::stop() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    notifications_.reset();
    coordinator().beforeExit();
    telemetry_->beforeExit();
    telemetry_->waitForPendingReports(std::chrono::seconds(1));
}

PermissionChecker::Status HostApp::permission() const {
    const auto answer = inputPermission_ ? inputPermission_() : platform::InputPermission::check();
    if (answer.permitted) {
        return PermissionChecker::status(answer, PermissionGuide::Situation::other);
    }
    const auto x11 = choice_.kind == platform::InputBackendKind::x11 && choice_.refusal.empty()
                         ? platform::probeX11()
                         : platform::X11Access::usable;
    return PermissionChecker::status(answer,
                                     situationOf(choice_.kind, !choice_.refusal.empty(), x11));
}

InstanceClaim claimInstance(std::chrono::milliseconds wait, bool handOver) {
    InstanceClaim claim;
    try {
        claim.lock = platform::InstanceLock::acquire(platform::InstanceLock::defaultPath(), wait);
    } catch (const platform::InstanceLockError& e) {
        std::cerr << "quillon: " << e.what() << "\n";
        claim.exitStatus = 1;
        return claim;
    }
    if (!claim.lock && handOver) {
        claim.exitStatus = handOverToRunningHost(std::cout, std::cerr);
    }
    return claim;
}

int runHost(platform::Defaults& defaults, EventLoop& loop, FrontEnd& frontEnd, RunOptions options) {
    std::signal(SIGPIPE, SIG_IGN);
    auto mainQueue = loop.mainQueue();
    HostApp host(defaults, mainQueue);
    host.start();
    frontEnd.attach(host, [&loop] { loop.quit(); });

    // The control interface: `quillon ctl` and a second start reach this host through it.
    HostControl::Hooks hooks;
    hooks.show = [&frontEnd] { frontEnd.show(); };
    // Posted, so the caller gets its answer before the host goes.
    hooks.quit = [mainQueue, &loop] { mainQueue->post([&loop] { loop.quit(); }); };
    hooks.serviceName = host.serviceName();
    hooks.permission = [&host] { return host.permission(); };
    hooks.revealPIN = options.revealPIN;
    hooks.defaults = &defaults;
    if (options.restart) {
        hooks.restart = [mainQueue, restart = options.restart] { mainQueue->post(restart); };
    }
    auto control = std::make_shared<HostControl>(host.sharedCoordinator(), host.telemetry(), hooks);
    std::unique_ptr<platform::ControlServer> controlServer;
    try {
        controlServer = std::make_unique<platform::ControlServer>(control, mainQueue);
    } catch (const platform::ControlError& e) {
        std::fprintf(stderr, "quillon: %s\n",
                     i18n::fill(i18n::tr("no control interface ({1})"), {e.what()}).c_str());
    }
    // A window client reads Status() again when told.
    const auto changedToken = host.coordinator().addObserver([&controlServer](HostField) {
        if (controlServer) {
            controlServer->notifyChanged();
        }
    });

    const int status = loop.run();

    host.coordinator().removeObserver(changedToken);
    controlServer.reset();
    control.reset();
    // The front end still hears the host's last changes (the terminal prints them).
    host.stop();
    frontEnd.leave();
    return status;
}

} // namespace quillon
