#include "Quillon/Console/HeadlessHost.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/EventTranslator.hpp"
#include "Platform/Input/InputBackendFactory.hpp"
#include "Platform/Network/HttpClient.hpp"
#include "Platform/Permission/InputPermission.hpp"
#include "Platform/Session/SessionLockSource.hpp"
#include "Quillon/Catalog/AppCatalog.hpp"
#include "Quillon/Catalog/AppCatalogService.hpp"
#include "Quillon/Console/TerminalConsole.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Host/LaunchEnvironment.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "Quillon/Input/CGEventSink.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Pairing/KeychainPairingStore.hpp"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace quillon {

namespace {

std::string executablePath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("quillon");
}

void printOut(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout); // line by line, also into a pipe (scripts and tests read it live)
}

// Reads stdin line by line on its own thread and hands each line to the main queue. End of
// input only ends the reading: a host started without a terminal keeps running.
class StdinReader {
public:
    explicit StdinReader(std::function<void(std::string)> onLine) : onLine_(std::move(onLine)) {
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
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace

std::string launchLogLine(bool permitted, const std::string& path) {
    return std::string("=== 启动，辅助功能授权 = ") + (permitted ? "true" : "false") +
           "，路径 = " + path;
}

int runHeadlessHost(platform::Defaults& defaults) {
    std::signal(SIGPIPE, SIG_IGN);
    auto mainQueue = std::make_shared<platform::IoContextMainQueue>();
    platform::setMainQueue(mainQueue);
    // Caught on the main queue (not in a signal handler), so the shutdown runs in order.
    asio::signal_set signals(mainQueue->context(), SIGINT, SIGTERM);

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
    auto geometry = session.geometry;
    // The sink's events become the verbs of the session's input backend; the translator also
    // opens the overview through it.
    auto translator = std::make_shared<platform::EventTranslator>(
        std::move(session.backend), [&defaults] { return platform::readInputSettings(defaults); });
    const auto inputPermission = [choice, translator] {
        return choice.refusal.empty() ? translator->permission()
                                      : platform::InputPermission{false, choice.refusal};
    };
    auto gate = std::make_shared<InputGate>();
    auto sink =
        std::make_shared<CGEventSink>(translator, geometry, translator, defaults, nullptr, gate);
    // The injector's cursor starts at the centre of the main display.
    auto injector = std::make_shared<EventInjector>(sink, GestureMapper::defaultMapper(), defaults);
    CatalogOptions catalogOptions;
    catalogOptions.defaults = &defaults;
    auto catalog =
        std::make_shared<AppCatalogService>(AppCatalog::defaultSearchRoots(), catalogOptions);
    Telemetry::Options telemetryOptions;
    telemetryOptions.passive = passive;
    telemetryOptions.inputPermission = [inputPermission] { return inputPermission().permitted; };
    auto telemetry = std::make_shared<Telemetry>(
        Telemetry::Services{mainQueue, defaults, platform::makeCurlHttpClient(),
                            platform::makeDBusSessionLockSource()},
        telemetryOptions);
    HostCoordinator::Options options;
    options.server.display = geometry;
    options.server.advertiser = platform::makeAvahiAdvertiser();
    options.inputGate = gate;
    auto coordinator =
        HostCoordinator::create(store, injector, !passive, catalog,
                                {mainQueue, defaults, InputDiagnostics::toDiagLog(defaults),
                                 telemetry, platform::makeDBusSessionLockSource()},
                                options);

    const auto permission = inputPermission();
    platform::DiagLog::write(launchLogLine(permission.permitted, executablePath()));
    if (!choice.note.empty()) {
        platform::DiagLog::write(choice.note);
    }
    telemetry->start();

    bool terminating = false;
    const auto terminate = [&] {
        if (terminating) {
            return;
        }
        terminating = true;
        coordinator->applicationWillTerminate();
        telemetry->applicationWillTerminate();
        telemetry->waitForPendingReports(std::chrono::seconds(1));
        mainQueue->stop();
    };
    signals.async_wait([&](const std::error_code& error, int) {
        if (!error) {
            terminate();
        }
    });

    TerminalConsole::Hooks hooks;
    hooks.print = printOut;
    hooks.permission = [inputPermission] {
        const auto status = inputPermission();
        return TerminalConsole::Permission{status.permitted, status.reason};
    };
    hooks.quit = [&] { terminate(); };
    auto console =
        std::make_shared<TerminalConsole>(coordinator, telemetry, mainQueue, std::move(hooks));
    console->attach();

    std::weak_ptr<TerminalConsole> weakConsole = console;
    {
        StdinReader reader([weakConsole, mainQueue](std::string line) {
            mainQueue->post([weakConsole, line = std::move(line)] {
                if (auto c = weakConsole.lock()) {
                    c->execute(line);
                }
            });
        });
        mainQueue->run();
    }
    signals.cancel();
    console.reset();
    coordinator.reset();
    telemetry.reset();
    std::fflush(stdout);
    return 0;
}

} // namespace quillon
