#include "Quillon/Shell/DesktopProgram.hpp"

#include "Platform/Control/ControlBus.hpp"
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Defaults/SettingKeys.hpp"
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Platform/Paths/BaseDirectories.hpp"
#include "Quillon/Console/ControlCommand.hpp"
#include "Quillon/Console/HeadlessHost.hpp"
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
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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
    DesktopActions(const HostAssembly& host, platform::Defaults& defaults)
        : host_(host), coordinator_(host.coordinator), defaults_(defaults) {}
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
    std::optional<std::string> grantKdeInput() override {
        namespace fs = std::filesystem;
        const fs::path dir =
            fs::path(platform::baseDirectory(platform::BaseDirectory::data)) / "applications";
        std::error_code ec;
        fs::create_directories(dir, ec);
        const fs::path file = dir / "quillon.desktop";
        const fs::path temporary = dir / ".quillon.desktop.new";
        {
            std::ofstream out(temporary, std::ios::trunc);
            out << kdeGrantEntry(PermissionChecker::executablePath());
            if (!out.flush()) {
                return i18n::fill(i18n::tr("cannot write {1}"), {temporary.string()});
            }
        }
        fs::rename(temporary, file, ec);
        if (ec) {
            return i18n::fill(i18n::tr("cannot write {1}: {2}"), {file.string(), ec.message()});
        }
        return std::nullopt;
    }
    std::optional<std::string> setting(const std::string& key) override {
        const auto value = defaults_.value(key);
        if (!value) {
            return std::nullopt;
        }
        if (value->is_string()) {
            return value->get<std::string>();
        }
        return value->dump();
    }
    std::optional<std::string> setSetting(const std::string& key,
                                          const std::string& value) override {
        const auto* known = platform::findSettingKey(key);
        if (known == nullptr) {
            return key;
        }
        try {
            if (value.empty()) {
                defaults_.remove(key);
                return std::nullopt;
            }
            auto parsed = platform::parseSetting(*known, value);
            if (const auto* refusal = std::get_if<std::string>(&parsed)) {
                return *refusal;
            }
            defaults_.set(key, std::get<nlohmann::json>(parsed));
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::nullopt;
    }
    std::string computerName() override { return host_.serviceName; }
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
    const HostAssembly& host_;
    std::shared_ptr<HostCoordinator> coordinator_;
    platform::Defaults& defaults_;
    DesktopShell* shell_ = nullptr;
};

} // namespace

int runDesktop(int argc, char** argv, const std::string& platform, platform::Defaults& defaults) {
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

    DesktopActions actions(host, defaults);
    auto shell = std::make_unique<DesktopShell>(actions, DesktopShell::Options{});
    actions.setShell(shell.get());
    shell->setState(snapshot(*coordinator));
    const auto observerToken =
        coordinator->addObserver([&shell, &coordinator](HostCoordinator::Field) {
            shell->setState(snapshot(*coordinator));
        });

    // A PIN whose window ran out is taken off the screen and said to have expired; while it
    // runs, its countdown moves.
    QTimer expiry;
    expiry.setInterval(1000);
    QObject::connect(&expiry, &QTimer::timeout, &app, [&coordinator, &shell] {
        if (pairingExpired(*coordinator, nowSeconds())) {
            coordinator->expirePairing();
        } else if (coordinator->pairingPIN()) {
            shell->tick(nowSeconds());
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
        std::cerr << "quillon: " << i18n::fill(i18n::tr("no control interface ({1})"), {e.what()})
                  << "\n";
    }
    // A window client reads Status() again when told.
    const auto changedToken = coordinator->addObserver([&controlServer](HostCoordinator::Field) {
        if (controlServer) {
            controlServer->notifyChanged();
        }
    });

    shell->console().show();
    if (!passive) {
        QTimer::singleShot(300, &app, [&shell] { shell->showConsole(); });
    }

    const int status = app.exec();

    coordinator->removeObserver(changedToken);
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
