#include "Quillon/Shell/DesktopProgram.hpp"

#include "Platform/Control/ControlBus.hpp"
#include "Platform/Control/WindowBus.hpp"
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Defaults/DefaultsCommand.hpp"
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/App/HostApp.hpp"
#include "Quillon/Console/ControlCommand.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostState.hpp"
#include "Quillon/Host/LaunchEnvironment.hpp"
#include "Quillon/Host/PermissionChecker.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "Quillon/Shell/Autostart.hpp"
#include "Quillon/Shell/ConsoleWindow.hpp"
#include "Quillon/Shell/DesktopShell.hpp"
#include "Quillon/Shell/QtMainQueue.hpp"
#include "Quillon/Shell/RemoteFace.hpp"
#include "Quillon/Shell/Symbols.hpp"
#include "Quillon/Shell/WindowBusPump.hpp"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <clocale>
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
    DesktopActions(HostApp& host, platform::Defaults& defaults)
        : host_(host), coordinator_(host.sharedCoordinator()), defaults_(defaults) {}
    void setShell(DesktopShell* shell) { shell_ = shell; }

    void beginPairing() override { coordinator_->beginPairing(); }
    void endPairing() override { coordinator_->endPairing(); }
    void disconnect(const std::string& id) override { coordinator_->disconnect(id); }
    void unpair(const std::string& id) override { coordinator_->unpair(id); }
    bool telemetryEnabled() override { return host_.telemetry()->isEnabled(); }
    void setTelemetryEnabled(bool enabled) override { host_.telemetry()->setEnabled(enabled); }
    bool startsAtLogin() override { return Autostart::isEnabled(); }
    void setStartsAtLogin(bool enabled) override {
        Autostart::setEnabled(enabled, PermissionChecker::executablePath());
    }
    PermissionChecker::Status permission() override { return host_.permission(); }
    std::optional<std::string> grantKdeInput() override {
        return writeKdeInputGrant(PermissionChecker::executablePath());
    }
    std::optional<std::string> setting(const std::string& key) override {
        const auto all = platform::settingTexts(defaults_);
        const auto it = all.find(key);
        return it == all.end() ? std::nullopt : std::optional(it->second);
    }
    void setSetting(const std::string& key, const std::string& value,
                    std::function<void(std::optional<std::string>)> done) override {
        auto refusal = platform::writeSetting(defaults_, key, value);
        if (done) {
            done(std::move(refusal));
        }
    }
    std::string computerName() override { return host_.serviceName(); }
    std::string defaultComputerName() override { return platform::prettyHostName(); }
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
    HostApp& host_;
    std::shared_ptr<HostCoordinator> coordinator_;
    platform::Defaults& defaults_;
    DesktopShell* shell_ = nullptr;
};

// The tray, the console and the permission windows over the host. With the session's window
// name (`windowBus`: none without a session bus) it also answers a second start's Show().
class DesktopFrontEnd : public FrontEnd {
public:
    DesktopFrontEnd(QApplication& app, platform::Defaults& defaults, platform::WindowBus* windowBus)
        : app_(app), defaults_(defaults), windowBus_(windowBus) {}

    void attach(HostApp& host, std::function<void()>) override {
        if (windowBus_ != nullptr) {
            windowBus_->onShow([this] { show(); });
            pump_ = std::make_unique<WindowBusPump>(*windowBus_, nullptr);
        }
        // The menu's Quit ends the Qt loop, which is the run's loop.
        actions_ = std::make_unique<DesktopActions>(host, defaults_);
        shell_ = std::make_unique<DesktopShell>(*actions_, DesktopShell::Options{});
        actions_->setShell(shell_.get());
        coordinator_ = host.sharedCoordinator();
        shell_->setState(coordinator_->state());
        observerToken_ = coordinator_->addObserver(
            [this](HostCoordinator::Field) { shell_->setState(coordinator_->state()); });
        // While a PIN shows, its countdown moves; the host itself ends a window that runs out.
        countdown_.setInterval(1000);
        QObject::connect(&countdown_, &QTimer::timeout, &app_, [this] {
            if (coordinator_->pairingPIN()) {
                shell_->tick(nowSeconds());
            }
        });
        countdown_.start();
        shell_->console().show();
        if (!host.passive()) {
            QTimer::singleShot(300, &app_, [this] {
                if (shell_) {
                    shell_->showConsole();
                }
            });
        }
    }
    void show() override {
        if (shell_) {
            shell_->showConsole();
        }
    }
    void leave() override {
        pump_.reset();
        if (windowBus_ != nullptr) {
            windowBus_->onShow(nullptr);
        }
        countdown_.stop();
        if (coordinator_) {
            coordinator_->removeObserver(observerToken_);
        }
        shell_.reset();
        actions_.reset();
        coordinator_.reset();
    }

private:
    QApplication& app_;
    platform::Defaults& defaults_;
    platform::WindowBus* windowBus_;
    std::unique_ptr<WindowBusPump> pump_;
    std::unique_ptr<DesktopActions> actions_;
    std::unique_ptr<DesktopShell> shell_;
    std::shared_ptr<HostCoordinator> coordinator_;
    std::size_t observerToken_ = 0;
    QTimer countdown_;
};

// Qt's event loop, ended by quit(), SIGINT or SIGTERM (through a pipe its notifier reads).
class QtLoop : public EventLoop {
public:
    explicit QtLoop(QApplication& app) : mainQueue_(std::make_shared<QtMainQueue>()), app_(app) {
        if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
            std::signal(SIGINT, onSignal);
            std::signal(SIGTERM, onSignal);
            notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
            QObject::connect(notifier_.get(), &QSocketNotifier::activated, &app_, [] {
                char buffer[16];
                while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
                }
                QApplication::quit();
            });
        }
    }
    ~QtLoop() override { mainQueue_->detach(); }
    std::shared_ptr<platform::MainQueue> mainQueue() override { return mainQueue_; }
    int run() override { return app_.exec(); }
    // Queued: the menu or button that asked finishes its event first.
    void quit() override {
        QTimer::singleShot(0, &app_, [] { QApplication::quit(); });
    }

private:
    std::shared_ptr<QtMainQueue> mainQueue_;
    QApplication& app_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace

int runDesktop(int argc, char** argv, const std::string& platform, platform::Defaults& defaults) {
    const bool relaunched = std::getenv(PermissionChecker::kRelaunchedVariable) != nullptr;
    ::unsetenv(PermissionChecker::kRelaunchedVariable);
    // A relaunch waits for the window and the host it replaces to let go.
    const auto wait = relaunched ? std::chrono::milliseconds(10000) : std::chrono::milliseconds(0);

    // First the session's window name: whoever owns it is the one window (a desktop host, or
    // the window of a host elsewhere), so two starts never make two windows. Without a session
    // bus there can be no host elsewhere to show, and the instance lock alone decides.
    std::unique_ptr<platform::WindowBus> windowBus;
    try {
        windowBus = std::make_unique<platform::WindowBus>();
    } catch (const platform::ControlError& e) {
        std::cerr << "quillon: " << e.what() << "\n";
    }
    if (windowBus && !windowBus->claimWindow(wait)) {
        return handOverToRunningWindow(std::cout, std::cerr);
    }
    // Then the host: here, unless one runs already (headless, the user unit).
    auto claim = claimInstance(wait, /*handOver=*/!windowBus);
    if (claim.exitStatus) {
        return *claim.exitStatus;
    }

    // Qt runs on the plugin found to work (-platform, not QT_QPA_PLATFORM: the programs the
    // host starts for the tablet must not inherit it).
    std::vector<std::string> arguments(argv, argv + argc);
    arguments.insert(arguments.begin() + 1, {"-platform", platform});
    std::vector<char*> qtArgv;
    for (auto& a : arguments) {
        qtArgv.push_back(a.data());
    }
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(arguments.size());
    QApplication app(qtArgc, qtArgv.data());
    // Qt took the whole locale from the environment; numbers written to files, logs and the
    // wire keep the C locale's form whatever the language.
    std::setlocale(LC_NUMERIC, "C");
    // The name panels show for the tray item (its title); the desktop entry is quillon's.
    app.setApplicationName("Quillon");
    app.setDesktopFileName("quillon");
    app.setWindowIcon(applicationIcon());
    // The tray keeps the program running with every window closed.
    app.setQuitOnLastWindowClosed(false);
    QtLoop loop(app);

    if (!claim.lock) {
        // The window of the host that runs elsewhere, until the user quits it.
        RemoteFace face(
            *windowBus, [&loop] { loop.quit(); }, RemoteFace::Options{});
        // A lost session bus is the session ending.
        WindowBusPump pump(*windowBus, [&loop] { loop.quit(); });
        return loop.run();
    }

    DesktopFrontEnd frontEnd(app, defaults, windowBus.get());
    RunOptions options;
    // Restart() from a window: as the console's relaunch (this desktop program again).
    options.restart = [&loop] { PermissionChecker::relaunch([&loop] { loop.quit(); }); };
    return runHost(defaults, loop, frontEnd, options);
}

} // namespace quillon::shell
