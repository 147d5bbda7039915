#include "Quillon/Console/HeadlessHost.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/EventStream/X11EventPoster.hpp"
#include "Platform/EventStream/X11OverviewOpener.hpp"
#include "Platform/Permission/InputPermission.hpp"
#include "Quillon/Catalog/AppCatalog.hpp"
#include "Quillon/Catalog/AppCatalogService.hpp"
#include "Quillon/Console/TerminalConsole.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
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

int runHeadlessHost() {
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
        store = std::make_shared<KeychainPairingStore>(KeychainPairingStore::defaultService);
    }
    auto geometry = std::make_shared<platform::X11DisplayGeometry>();
    platform::X11EventPoster::Options posterOptions;
    posterOptions.geometry = geometry;
    auto poster = std::make_shared<platform::X11EventPoster>(posterOptions);
    auto sink = std::make_shared<CGEventSink>(poster, geometry,
                                              std::make_shared<platform::X11OverviewOpener>());
    // The injector's cursor starts at the centre of the main display.
    auto injector = std::make_shared<EventInjector>(sink);
    auto catalog = std::make_shared<AppCatalogService>(AppCatalog::defaultSearchRoots());
    HostCoordinator::Options options;
    options.server.display = geometry;
    options.server.advertiser = platform::makeAvahiAdvertiser();
    auto coordinator = HostCoordinator::create(store, injector, !passive, catalog, options);

    const auto permission = platform::InputPermission::check();
    platform::DiagLog::write(launchLogLine(permission.permitted, executablePath()));
    Telemetry::setInputPermissionCheck([] { return platform::InputPermission::check().permitted; });
    Telemetry::start();

    bool terminating = false;
    const auto terminate = [&] {
        if (terminating) {
            return;
        }
        terminating = true;
        coordinator->applicationWillTerminate();
        Telemetry::applicationWillTerminate();
        Telemetry::waitForPendingReports(std::chrono::seconds(1));
        mainQueue->stop();
    };
    signals.async_wait([&](const std::error_code& error, int) {
        if (!error) {
            terminate();
        }
    });

    TerminalConsole::Hooks hooks;
    hooks.print = printOut;
    // Asked every second: through the poster's own connection, not a new one per poll.
    hooks.permission = [poster] {
        const bool permitted = poster->checkPermission();
        return TerminalConsole::Permission{permitted, permitted ? std::string() : poster->reason()};
    };
    hooks.quit = [&] { terminate(); };
    auto console = std::make_shared<TerminalConsole>(coordinator, std::move(hooks));
    console->attach();

    std::weak_ptr<TerminalConsole> weakConsole = console;
    {
        StdinReader reader([weakConsole](std::string line) {
            platform::mainQueue().post([weakConsole, line = std::move(line)] {
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
    std::fflush(stdout);
    return 0;
}

} // namespace quillon
