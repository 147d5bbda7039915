#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace quillon::platform {
class Defaults;
class HttpClient;
class MainQueue;
class SessionLockSource;
class SerialQueue;
class TimerHandle;
} // namespace quillon::platform

namespace quillon {

class ScreenLockMonitor;

// Anonymous usage counters sent to a telemetry endpoint: that the host started, how many
// sessions were admitted over Wi-Fi and USB, how many pairings succeeded, and whether input
// permission was missing at launch. Nothing is sent until a device has been paired, while the
// screen is locked, when the user turned "telemetry.enabled" off, or when DO_NOT_TRACK is set
// (to anything but "0"). Reports are fire-and-forget HTTP GETs; nothing here ever fails loudly.
//
// All state lives on the queue "quillon-telem". bump(), notePaired(),
// setEnabled() and screenLocked() wait for that queue. Create and destroy on the main thread
// (the lock monitor's callbacks arrive there); one instance per process.
class Telemetry {
public:
    struct Services {
        // Where the lock monitor's callbacks arrive.
        std::shared_ptr<platform::MainQueue> mainQueue;
        // Holds "telemetry.enabled"; must outlive the telemetry.
        platform::Defaults& defaults;
        std::shared_ptr<platform::HttpClient> http;
        // Telemetry's own lock observations (the coordinator's monitor may be stopped or
        // restarted independently); none: the screen counts as never locked.
        std::shared_ptr<platform::SessionLockSource> lockSource;
    };
    struct Options {
        // The host runs under a test harness: start() does nothing.
        bool passive = false;
        // "May this process post input?", asked at start (counts "perm_denied" when not).
        // Unset: assumed allowed.
        std::function<bool()> inputPermission;
        // The first report ("start") after startDelay, then an "hb" report every period.
        std::chrono::milliseconds startDelay{20'000};
        std::chrono::milliseconds period{300'000};
    };

    explicit Telemetry(Services services);
    Telemetry(Services services, Options options);
    ~Telemetry();
    Telemetry(const Telemetry&) = delete;
    Telemetry& operator=(const Telemetry&) = delete;

    // Queues the start sequence (once; in passive mode nothing): the "start" report after the
    // start delay, then an "hb" report every period, each only when allowed; and watches the
    // screen lock.
    void start();
    // Counts one occurrence of "pair", "connect_wifi", "connect_usb" or "perm_denied"; any
    // other name is ignored. Counting does not depend on being allowed to send.
    void bump(std::string_view name);
    // true: a paired device exists (remembered for the life of the object). false: no effect.
    void notePaired(bool paired);
    // The user's setting ("telemetry.enabled", on unless stored as false) and DO_NOT_TRACK.
    bool isEnabled() const;
    // Stores the setting; switching off also empties the counters at once.
    void setEnabled(bool enabled);

    // The application is about to exit: queues the "quit" report (when started) and stops the
    // lock monitor.
    void beforeExit();
    // Waits up to `timeout` for reports already handed to the network to finish, so the "quit"
    // report has a chance to leave before the process exits.
    void waitForPendingReports(std::chrono::milliseconds timeout);

    // Telemetry's own notion of the screen lock (waits for the queue); diagnostics and tests.
    bool screenLocked();

    // The endpoint reports go to: CORVANE_TELEMETRY_URL when set, else the built-in one.
    static std::string endpoint();

private:
    using Pairs = std::map<std::string, std::string>;

    // All on the queue.
    void startSequence();
    bool mayReport() const;
    void sendReport(Pairs pairs);
    void flush(const std::string& reason);

    Services services_;
    Options options_;

    // Touched on the queue only.
    bool started_ = false;
    bool paired_ = false;
    bool screenLocked_ = false;
    std::map<std::string, long long> counters_;
    std::chrono::steady_clock::time_point lastReport_;
    std::shared_ptr<platform::TimerHandle> startTimer_;
    std::shared_ptr<platform::TimerHandle> reportTimer_;
    std::unique_ptr<ScreenLockMonitor> lockMonitor_;

    // Last, so it stops first: no handler runs while the members above go away.
    std::unique_ptr<platform::SerialQueue> queue_;
};

} // namespace quillon
