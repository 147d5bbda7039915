#pragma once

#include "Platform/Control/ControlBus.hpp"
#include "Platform/Input/InputBackendChooser.hpp"
#include "Platform/Permission/InputPermission.hpp"
#include "Quillon/Host/PermissionChecker.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillon::platform {
class Defaults;
class MainQueue;
class SerialQueue;
} // namespace quillon::platform

namespace quillon {

class HostCore;
class HostCoordinator;
class HostNotifications;
class Telemetry;

// The composition root: the host of the user's session, every collaborator built here once and
// handed its services. From the session it takes the input backend and the display geometry
// that goes with it, the keychain, DNS-SD, the screen-lock signals (the session bus opened once
// for them), desktop notifications, HTTP for telemetry and the application catalog; over those
// it assembles the host's pieces (HostCore). In passive mode (a test harness) the pairing store
// is in memory and nothing starts. Main queue only; the front ends (terminal console, desktop
// program) run over it (runHost()).
class HostApp {
public:
    HostApp(platform::Defaults& defaults, std::shared_ptr<platform::MainQueue> mainQueue);
    ~HostApp();
    HostApp(const HostApp&) = delete;
    HostApp& operator=(const HostApp&) = delete;

    // Writes the launch line (and an unusable settings file) to the diagnostics log and the
    // last error, starts telemetry and, unless passive, the host and its launch probes.
    void start();
    // The one before-exit sequence: the host stops (every held key released, every
    // connection closed), telemetry's last report goes (waited for briefly). Idempotent.
    void stop();

    HostCoordinator& coordinator() noexcept;
    const std::shared_ptr<HostCoordinator>& sharedCoordinator() const noexcept;
    const std::shared_ptr<Telemetry>& telemetry() const noexcept { return telemetry_; }
    // The name both DNS-SD services are published under (what the tablet lists).
    const std::string& serviceName() const noexcept { return serviceName_; }
    // What the session's input backend says about posting input, with the guide for the
    // session.
    PermissionChecker::Status permission() const;
    bool passive() const noexcept { return passive_; }

private:
    platform::Defaults& defaults_;
    bool passive_ = false;
    bool stopped_ = false;
    std::string serviceName_;
    platform::InputBackendChoice choice_;
    std::function<platform::InputPermission()> inputPermission_;
    // Drives scroll momentum and the input probes; first, so that it outlives everything that
    // schedules on it.
    std::shared_ptr<platform::SerialQueue> inputTimers_;
    std::shared_ptr<Telemetry> telemetry_;
    std::unique_ptr<HostCore> core_;
    std::shared_ptr<HostNotifications> notifications_;
};

// "=== start, input permission = true|false, path = <path>" in the run's language
std::string launchLogLine(bool permitted, const std::string& executablePath);

// A front end over the running host: the terminal console, the desktop program.
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // The host was built and started: show it. `quit` ends the run (from the main queue).
    virtual void attach(HostApp& host, std::function<void()> quit) = 0;
    // Another start of quillon, or `quillon ctl show`: come to the front.
    virtual void show() = 0;
    // The host stopped: let go of it.
    virtual void leave() = 0;
};

// The main loop a front end runs in: its main queue's loop, which also ends on SIGINT and
// SIGTERM (caught on the main queue, not in a signal handler, so the shutdown runs in order).
class EventLoop {
public:
    virtual ~EventLoop() = default;
    virtual std::shared_ptr<platform::MainQueue> mainQueue() = 0;
    // Runs until quit() or a signal; returns the loop's exit status.
    virtual int run() = 0;
    // From the main queue.
    virtual void quit() = 0;
};

// One instance per user session: the lock, taken before anything else, or what to return.
struct InstanceClaim {
    std::unique_ptr<platform::InstanceLock> lock;
    // Set when this process must not run a host: the exit status (another host runs and was
    // asked to show itself, or the lock failed).
    std::optional<int> exitStatus;
};
// Takes the session's one-instance lock, waiting up to `wait` (a relaunched host waits for the
// one before it). When another host holds it: with `handOver`, asks that one to show itself
// (exitStatus set); without, returns no lock and no status (the desktop program then becomes
// that host's window).
InstanceClaim claimInstance(std::chrono::milliseconds wait = std::chrono::milliseconds(0),
                            bool handOver = true);

struct RunOptions {
    // Whether the control interface may answer the PIN (see HostControl).
    bool revealPIN = false;
    // What the control interface's Restart() runs, on the main queue once the caller has its
    // answer: the front end starts the host again in place. None: Restart() is refused.
    std::function<void()> restart;
};

// The one start, run and teardown path of every front end, on `loop`'s main queue: builds and
// starts the host, attaches the front end, serves the control interface (`quillon ctl`, another
// start) on the session bus, runs the loop; then stops the host (keys released, telemetry's
// last report), lets the front end go and takes everything down. Returns the loop's status.
int runHost(platform::Defaults& defaults, EventLoop& loop, FrontEnd& frontEnd,
            RunOptions options = {});

} // namespace quillon
