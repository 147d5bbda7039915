#include "Quillon/Shell/DesktopProgram.hpp"

#include "Platform/Control/ControlBus.hpp"
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Defaults/SettingKeys.hpp"
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Platform/Paths/BaseDirectories.hpp"
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

// The tray, the console and the permission windows over the host.
class DesktopFrontEnd : public FrontEnd {
public:
    DesktopFrontEnd(QApplication& app, platform::Defaults& defaults)
        : app_(app), defaults_(defaults) {}

    void attach(HostApp& host, std::function<void()>) override {
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
    auto claim =
        claimInstance(relaunched ? std::chrono::milliseconds(10000) : std::chrono::milliseconds(0));
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
    // The tray keeps the host running with every window closed.
    app.setQuitOnLastWindowClosed(false);

    QtLoop loop(app);
    DesktopFrontEnd frontEnd(app, defaults);
    return runHost(defaults, loop, frontEnd);
}

} // namespace quillon::shell
