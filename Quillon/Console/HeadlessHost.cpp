#include "Quillon/Console/HeadlessHost.hpp"

#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/App/HostApp.hpp"
#include "Quillon/Console/TerminalConsole.hpp"
#include "Quillon/Host/LaunchEnvironment.hpp"
#include "Quillon/Host/PermissionChecker.hpp"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

// The terminal console over the host, its input read line by line on a thread it joins.
class TerminalFrontEnd : public FrontEnd {
public:
    explicit TerminalFrontEnd(std::shared_ptr<platform::MainQueue> mainQueue)
        : mainQueue_(std::move(mainQueue)) {}

    void attach(HostApp& host, std::function<void()> quit) override {
        TerminalConsole::Hooks hooks;
        hooks.print = printOut;
        hooks.permission = [&host] { return host.permission(); };
        hooks.quit = std::move(quit);
        hooks.serviceName = host.serviceName();
        hooks.interactive = ::isatty(STDIN_FILENO) != 0;
        console_ = std::make_shared<TerminalConsole>(host.sharedCoordinator(), host.telemetry(),
                                                     mainQueue_, std::move(hooks));
        console_->attach();
        std::weak_ptr<TerminalConsole> weak = console_;
        reader_ = std::make_unique<StdinReader>(
            [weak, mainQueue = mainQueue_](std::string line) {
                mainQueue->post([weak, line = std::move(line)] {
                    if (auto c = weak.lock()) {
                        c->execute(line);
                    }
                });
            },
            [weak, mainQueue = mainQueue_] {
                mainQueue->post([weak] {
                    if (auto c = weak.lock()) {
                        c->endOfInput();
                    }
                });
            });
    }
    void show() override {
        if (console_) {
            console_->show();
        }
    }
    void leave() override {
        reader_.reset(); // joins the reader
        console_.reset();
        std::fflush(stdout);
    }

private:
    std::shared_ptr<platform::MainQueue> mainQueue_;
    std::shared_ptr<TerminalConsole> console_;
    std::unique_ptr<StdinReader> reader_;
};

// The headless main loop: an io_context on this thread, ended by quit(), SIGINT or SIGTERM.
class HeadlessLoop : public EventLoop {
public:
    HeadlessLoop()
        : mainQueue_(std::make_shared<platform::IoContextMainQueue>()),
          signals_(mainQueue_->context(), SIGINT, SIGTERM) {}
    std::shared_ptr<platform::MainQueue> mainQueue() override { return mainQueue_; }
    int run() override {
        signals_.async_wait([this](const std::error_code& error, int) {
            if (!error) {
                quit();
            }
        });
        mainQueue_->run();
        signals_.cancel();
        return 0;
    }
    void quit() override { mainQueue_->stop(); }

private:
    std::shared_ptr<platform::IoContextMainQueue> mainQueue_;
    asio::signal_set signals_;
};

} // namespace

int runHeadlessHost(platform::Defaults& defaults) {
    // A host started again in place (Restart()) waits for the lock its old image let go.
    const bool relaunched = std::getenv(PermissionChecker::kRelaunchedVariable) != nullptr;
    ::unsetenv(PermissionChecker::kRelaunchedVariable);
    auto claim =
        claimInstance(relaunched ? std::chrono::milliseconds(10000) : std::chrono::milliseconds(0));
    if (claim.exitStatus) {
        return *claim.exitStatus;
    }
    bool restart = false;
    int status = 0;
    {
        HeadlessLoop loop;
        TerminalFrontEnd frontEnd(loop.mainQueue());
        RunOptions options;
        // The PIN is answered over the bus only where no screen can show it; in a graphical
        // session the terminal (or journal) this host prints to shows it.
        options.revealPIN = !hasDisplay();
        options.restart = [&restart, &loop] {
            restart = true;
            loop.quit();
        };
        status = runHost(defaults, loop, frontEnd, options);
    }
    if (!restart) {
        return status;
    }
    // Everything of this run has stopped and its threads are joined: the same process starts
    // over, so a service manager (the user unit) and the terminal keep it.
    claim.lock.reset();
    std::fflush(stdout);
    const std::string error = PermissionChecker::restartInPlace({"--headless"});
    std::fprintf(stderr, "quillon: %s\n",
                 i18n::fill(i18n::tr("cannot start again: {1}"), {error}).c_str());
    return 1;
}

} // namespace quillon
