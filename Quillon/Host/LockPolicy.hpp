#pragma once

#include <functional>
#include <optional>

namespace quillon {

// Where the host stands with the screen lock.
enum class LockState { unlocked, locked };

// What the session said of its screen lock (one callback per change, see ScreenLockMonitor).
enum class LockEvent { locked, unlocked };

// What the host does about a lock event.
struct LockPlan {
    // The input gate closes, typing and scrolling momentum stop, held keys are released.
    bool stopInput = false;
    // Every session, both listeners and the pairing window end in one trip to the network
    // transport; the cable transport stops; nothing is shown connected.
    bool dropTransports = false;
    // The listeners and the cable transport start again; only when they do does the host count
    // as unlocked (the gate opens) — a host that cannot listen stays locked.
    bool resumeTransports = false;
    bool operator==(const LockPlan&) const = default;
};

// The plan for `event` in `state`, or nothing when there is nothing to do: a lock while locked,
// and an unlock without a lock the host acted on (a missed or repeated broadcast: the listeners
// already run, and starting them again would replace live ones).
std::optional<LockPlan> lockPlan(LockState state, LockEvent event) noexcept;

// The operations a surface may ask for that the lock governs.
enum class GuardedOperation {
    openPairingWindow,
    unpair,
    endPairingWindow,
    disconnect,
};

// Whether `operation` may run in `state`: while the screen is locked no pairing window opens
// and no device is unpaired, whichever surface asks (console, tray, `quillon ctl`, D-Bus);
// ending a window or a connection is always allowed (it only takes away).
bool lockPermits(LockState state, GuardedOperation operation) noexcept;

// The lock policy applied: the host's state with the lock and the steps of each plan, through
// the three hooks the host gives it. Main queue only.
class LockPolicy {
public:
    struct Steps {
        // The host acts on `event` (a line for the diagnostics log).
        std::function<void(LockEvent event)> log;
        std::function<void()> stopInput;
        std::function<void()> dropTransports;
        // True when the transports run again.
        std::function<bool()> resumeTransports;
        // The state the user sees (the gate follows it).
        std::function<void(bool locked)> publish;
    };
    explicit LockPolicy(Steps steps) : steps_(std::move(steps)) {}

    void handle(LockEvent event);
    LockState state() const noexcept { return state_; }
    bool permits(GuardedOperation operation) const noexcept {
        return lockPermits(state_, operation);
    }

private:
    Steps steps_;
    LockState state_ = LockState::unlocked;
};

} // namespace quillon
