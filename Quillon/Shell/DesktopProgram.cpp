#include "Quillon/Shell/DesktopProgram.hpp"

#include "Platform/Control/ControlBus.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Quillon/Console/ControlCommand.hpp"
#include "Quillon/Console/HeadlessHost.hpp"
#include "Quillon/Console/Translations.hpp"
#include "Quillon/Host/HostControl.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostState.hpp"
#include "Quillon/Host/LaunchEnvironment.hpp"
#include "Quillon/Host/PermissionChecker.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "Quillon/Shell/Autostart.hpp"
#include "Quillon/Shell/ConsoleWindow.hpp"
#include "Quillon/Shell/DesktopShell.hpp"
#include "Quillon/Shell/QtMainQueue.hpp"
#include "Quillon/Shell/Symbols.hpp"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace quillon::shell {

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The menu's and the windows' commands, carried out on the host.
class DesktopActions : public ShellActions {
public:
    explicit DesktopActions(const HostAssembly& host)
        : host_(host), coordinator_(host.coordinator) {}
    void setShell(DesktopShell* shell) { shell_ = shell; }

    void beginPairing() override { coordinator_->beginPairing(); }
    void endPairing() override { coordinator_->endPairing(); }
    void disconnect(const std::string& id) override { coordinator_->disconnect(id); }
    void unpair(const std::string& id) override { coordinator_->unpair(id); }
    bool telemetryEnabled() override { return host_.telemetry->isEnabled(); }
    void setTelemetryEnabled(bool enabled) override { host_.telemetry->setEnabled(enabled); }
    bool startsAtLogin() override { return Autostart::isEnabled(); }
    void setStartsAtLogin(bool enabled) override {
        Autostart::setEnabled(enabled, PermissionChecker::executablePath());
    }
    PermissionChecker::Status permission() override { return host_.permission(); }
    void openSettings() override { PermissionChecker::openAccessibilitySettings(); }
    void relaunch() override {
        PermissionChecker::relaunch([this] { quit(); });
    }
    void showPermissions() override {
        if (shell_ != nullptr) {
            shell_->showPermissions();
        }
    }
    // Queued: the menu or button that asked finishes its event first.
    void quit() override {
        QTimer::singleShot(0, qApp, [] { QApplication::quit(); });
    }

private:
    const HostAssembly& host_;
    std::shared_ptr<HostCoordinator> coordinator_;
    DesktopShell* shell_ = nullptr;
};

} // namespace

bool hasGraphicalDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

int runDesktop(int argc, char** argv, platform::Defaults& defaults) {
    const bool relaunched = std::getenv(PermissionChecker::kRelaunchedVariable) != nullptr;
    ::unsetenv(PermissionChecker::kRelaunchedVariable);
    std::unique_ptr<platform::InstanceLock> lock;
    try {
        lock = platform::InstanceLock::acquire(platform::InstanceLock::defaultPath(),
                                               relaunched ? std::chrono::milliseconds(10000)
                                                          : std::chrono::milliseconds(0));
    } catch (const platform::InstanceLockError& e) {
        std::cerr << "quillon: " << e.what() << "\n";
        return 1;
    }
    if (!lock) {
        return handOverToRunningHost(std::cout, std::cerr);
    }
    std::signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    // The name panels show for the tray item (its title); the desktop entry is quillon's.
    app.setApplicationName("Corvane");
    app.setDesktopFileName("quillon");
    app.setWindowIcon(applicationIcon());
    // The tray keeps the host running with every window closed.
    app.setQuitOnLastWindowClosed(false);

    auto mainQueue = std::make_shared<QtMainQueue>();

    // SIGINT and SIGTERM end the event loop, so the shutdown runs in order on the main thread.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        QApplication::quit();
    });

    auto host = launchHost(defaults, mainQueue);
    auto coordinator = host.coordinator;
    const bool passive = isPassiveMode();

    DesktopActions actions(host);
    auto shell = std::make_unique<DesktopShell>(actions, DesktopShell::Options{});
    actions.setShell(shell.get());
    shell->setState(snapshot(*coordinator));
    const auto observerToken =
        coordinator->addObserver([&shell, &coordinator](HostCoordinator::Field) {
            shell->setState(snapshot(*coordinator));
        });

    // A PIN whose window ran out is taken off the screen.
    QTimer expiry;
    expiry.setInterval(1000);
    QObject::connect(&expiry, &QTimer::timeout, &app, [&coordinator] {
        if (pairingExpired(*coordinator, nowSeconds())) {
            coordinator->endPairing();
        }
    });
    expiry.start();

    HostControl::Hooks controlHooks;
    controlHooks.show = [&shell] { shell->showConsole(); };
    controlHooks.quit = [&actions] { actions.quit(); };
    controlHooks.serviceName = host.serviceName;
    controlHooks.permission = [&host] { return host.permission(); };
    auto control = std::make_shared<HostControl>(coordinator, host.telemetry, controlHooks);
    std::unique_ptr<platform::ControlServer> controlServer;
    try {
        controlServer = std::make_unique<platform::ControlServer>(control, mainQueue);
    } catch (const platform::ControlError& e) {
        std::cerr << "quillon: no control interface (" << e.what() << ")\n";
    }

    shell->console().show();
    if (!passive) {
        QTimer::singleShot(300, &app, [&shell] { shell->showConsole(); });
    }

    const int status = app.exec();

    controlServer.reset();
    expiry.stop();
    shutdownHost(host);
    coordinator->removeObserver(observerToken);
    shell.reset();
    control.reset();
    coordinator.reset();
    host.coordinator.reset();
    host.telemetry.reset();
    mainQueue->detach();
    return status;
}

} // namespace quillon::shell
