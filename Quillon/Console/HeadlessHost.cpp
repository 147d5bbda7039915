#include "Quillon/Console/HeadlessHost.hpp"

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
#include "Quillon/Catalog/AppCatalog.hpp"
#include "Quillon/Catalog/AppCatalogService.hpp"
#include "Quillon/Console/ControlCommand.hpp"
#include "Quillon/Console/TerminalConsole.hpp"
#include "Quillon/Host/HostControl.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostNotifications.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Host/LaunchEnvironment.hpp"
#include "Quillon/Host/PermissionChecker.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Pairing/KeychainPairingStore.hpp"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace quillon {

namespace {

void printOut(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout); // line by line, also into a pipe (scripts and tests read it live)
}

// Reads stdin line by line on its own thread and hands each line to the main queue. End of
// input only ends the reading: a host started without a terminal keeps running.
class StdinReader {
public:
    StdinReader(std::function<void(std::string)> onLine, std::function<void()> onEnd)
        : onLine_(std::move(onLine)), onEnd_(std::move(onEnd)) {
        if (::pipe2(wake_, O_CLOEXEC) != 0) {
            wake_[0] = wake_[1] = -1;
            return;
        }
        thread_ = std::thread([this] { run(); });
    }
    ~StdinReader() {
        if (wake_[1] >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(wake_[1], "x", 1);
        }
        if (thread_.joinable()) {
            thread_.join();
        }
        for (const int fd : wake_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

private:
    void run() {
        std::string pending;
        char buffer[1024];
        for (;;) {
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                return;
            }
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n == 0 && onEnd_) {
                    onEnd_();
                }
                return; // end of input
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            // A line longer than any command is cut off rather than buffered without bound.
            if (pending.size() > 4096 && pending.find('\n') == std::string::npos) {
                pending.clear();
            }
            for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
                onLine_(pending.substr(0, nl));
                pending.erase(0, nl + 1);
            }
        }
    }

    std::function<void(std::string)> onLine_;
    std::function<void()> onEnd_;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace

std::string launchLogLine(bool permitted, const std::string& path) {
    return i18n::fill(i18n::tr("=== start, input permission = {1}, path = {2}"),
                      {permitted ? "true" : "false", path});
}

HostAssembly launchHost(platform::Defaults& defaults,
                        std::shared_ptr<platform::MainQueue> mainQueue) {
    HostAssembly host;
    // Collaborators, in the order the coordinator needs them.
    const bool passive = isPassiveMode();
    std::shared_ptr<PairingStore> store;
    if (passive) {
        store = std::make_shared<InMemoryPairingStore>();
    } else {
        store = std::make_shared<KeychainPairingStore>(KeychainPairingStore::defaultService,
                                                       platform::Keychain::shared());
    }
    // The session decides the input backend and the display geometry that goes with it (X11,
    // or a Wayland compositor's own interface and outputs).
    auto session = platform::makeSessionInput(defaults);
    const platform::InputBackendChoice choice = session.choice;
    host.choice = choice;
    auto geometry = session.geometry;
    // Control messages become the verbs of the session's input backend; momentum ticks on a
    // queue of its own, so typing a long text never delays them.
    auto gate = std::make_shared<InputGate>();
    host.inputTimers = std::make_shared<platform::SerialQueue>("quillon-momentum");
    auto injector = EventInjector::create({.backend = std::move(session.backend),
                                           .geometry = geometry,
                                           .defaults = defaults,
                                           .gate = gate,
                                           .scheduler = host.inputTimers});
    // Read from the backend's own connection: a poll costs no new connection to the display.
    host.inputPermission = [choice, weak = std::weak_ptr<EventInjector>(injector)] {
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
    telemetryOptions.passive = passive;
    telemetryOptions.inputPermission = [permission = host.inputPermission] {
        return permission().permitted;
    };
    host.telemetry = std::make_shared<Telemetry>(
        Telemetry::Services{mainQueue, defaults, platform::makeCurlHttpClient(),
                            platform::makeDBusSessionLockSource()},
        telemetryOptions);
    HostCoordinator::Options options;
    options.server.display = geometry;
    options.server.advertiser = platform::makeAvahiAdvertiser();
    options.inputGate = gate;
    // Named here rather than by the server, so the console can say which name the tablet
    // will list: the user's choice, else the machine's name.
    options.server.serviceName = defaults.string("computerName").value_or("");
    if (options.server.serviceName.empty()) {
        options.server.serviceName = platform::prettyHostName();
    }
    options.server.port = platform::fixedPort(defaults.value("port")).value_or(0);
    host.serviceName = options.server.serviceName;
    host.coordinator =
        HostCoordinator::create(store, injector, !passive, catalog,
                                {mainQueue, defaults, InputDiagnostics::toDiagLog(defaults),
                                 host.telemetry, platform::makeDBusSessionLockSource()},
                                options);

    HostNotifications::Options notificationOptions;
    notificationOptions.permitted = [permission = host.inputPermission] {
        return permission().permitted;
    };
    host.notifications = std::make_shared<HostNotifications>(
        host.coordinator, mainQueue, platform::makeFreedesktopNotifier("Quillon"), defaults,
        notificationOptions);
    host.notifications->attach();

    const auto permission = host.permission();
    platform::DiagLog::write(
        launchLogLine(permission.permitted, PermissionChecker::executablePath()));
    if (!choice.note.empty()) {
        platform::DiagLog::write(choice.note);
    }
    if (const auto problem = defaults.problem()) {
        // Every setting then keeps its default: the user should know why their settings have
        // no effect, in the log and in whichever console shows the host (the last error).
        platform::DiagLog::write(i18n::fill(
            i18n::tr("[settings] the settings file cannot be used; every setting keeps its "
                     "default: {1}"),
            {*problem}));
        host.coordinator->reportProblem(i18n::fill(
            i18n::tr("The settings file cannot be used; every setting keeps its default: {1}"),
            {*problem}));
    }
    host.telemetry->start();
    return host;
}

PermissionChecker::Status HostAssembly::permission() const {
    const auto answer = inputPermission ? inputPermission() : platform::InputPermission::check();
    if (answer.permitted) {
        return PermissionChecker::status(answer, PermissionGuide::Situation::other);
    }
    const auto x11 = choice.kind == platform::InputBackendKind::x11 && choice.refusal.empty()
                         ? platform::probeX11()
                         : platform::X11Access::usable;
    return PermissionChecker::status(answer,
                                     situationOf(choice.kind, !choice.refusal.empty(), x11));
}

void shutdownHost(HostAssembly& host) {
    host.notifications.reset();
    if (host.coordinator) {
        host.coordinator->beforeExit();
    }
    if (host.telemetry) {
        host.telemetry->beforeExit();
        host.telemetry->waitForPendingReports(std::chrono::seconds(1));
    }
}

int runHeadlessHost(platform::Defaults& defaults) {
    std::unique_ptr<platform::InstanceLock> lock;
    try {
        lock = platform::InstanceLock::acquire(platform::InstanceLock::defaultPath());
    } catch (const platform::InstanceLockError& e) {
        std::cerr << "quillon: " << e.what() << "\n";
        return 1;
    }
    if (!lock) {
        return handOverToRunningHost(std::cout, std::cerr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    auto mainQueue = std::make_shared<platform::IoContextMainQueue>();
    // Caught on the main queue (not in a signal handler), so the shutdown runs in order.
    asio::signal_set signals(mainQueue->context(), SIGINT, SIGTERM);

    auto host = launchHost(defaults, mainQueue);
    auto coordinator = host.coordinator;

    bool terminating = false;
    const auto terminate = [&] {
        if (terminating) {
            return;
        }
        terminating = true;
        shutdownHost(host);
        mainQueue->stop();
    };
    signals.async_wait([&](const std::error_code& error, int) {
        if (!error) {
            terminate();
        }
    });

    TerminalConsole::Hooks hooks;
    hooks.print = printOut;
    hooks.permission = [&host] { return host.permission(); };
    hooks.quit = [&] { terminate(); };
    hooks.serviceName = host.serviceName;
    hooks.interactive = ::isatty(STDIN_FILENO) != 0;
    auto console =
        std::make_shared<TerminalConsole>(coordinator, host.telemetry, mainQueue, std::move(hooks));
    console->attach();
    std::weak_ptr<TerminalConsole> weakConsole = console;

    // The control interface: `quillon ctl` and a second start reach this host through it.
    HostControl::Hooks controlHooks;
    controlHooks.show = [weakConsole] {
        if (auto c = weakConsole.lock()) {
            c->show();
        }
    };
    // Posted, so the caller gets its answer before the host goes.
    controlHooks.quit = [&] { mainQueue->post([&] { terminate(); }); };
    controlHooks.serviceName = host.serviceName;
    controlHooks.permission = [&host] { return host.permission(); };
    // The PIN is answered over the bus only where no screen can show it; in a graphical
    // session the terminal (or journal) this host prints to shows it.
    controlHooks.revealPIN = !hasDisplay();
    auto control = std::make_shared<HostControl>(coordinator, host.telemetry, controlHooks);
    std::unique_ptr<platform::ControlServer> controlServer;
    try {
        controlServer = std::make_unique<platform::ControlServer>(control, mainQueue);
    } catch (const platform::ControlError& e) {
        std::fprintf(stderr, "quillon: %s\n",
                     i18n::fill(i18n::tr("no control interface ({1})"), {e.what()}).c_str());
    }
    // A window client reads Status() again when told.
    const auto changedToken = coordinator->addObserver([&controlServer](HostCoordinator::Field) {
        if (controlServer) {
            controlServer->notifyChanged();
        }
    });

    {
        StdinReader reader(
            [weakConsole, mainQueue](std::string line) {
                mainQueue->post([weakConsole, line = std::move(line)] {
                    if (auto c = weakConsole.lock()) {
                        c->execute(line);
                    }
                });
            },
            [weakConsole, mainQueue] {
                mainQueue->post([weakConsole] {
                    if (auto c = weakConsole.lock()) {
                        c->endOfInput();
                    }
                });
            });
        mainQueue->run();
    }
    coordinator->removeObserver(changedToken);
    controlServer.reset();
    control.reset();
    signals.cancel();
    console.reset();
    coordinator.reset();
    host.coordinator.reset();
    host.telemetry.reset();
    std::fflush(stdout);
    return 0;
}

} // namespace quillon
