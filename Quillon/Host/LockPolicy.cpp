#include "Quillon/Host/LockPolicy.hpp"

namespace quillon {

std::optional<LockPlan> lockPlan(LockState state, LockEvent event) noexcept {
    switch (event) {
    case LockEvent::locked:
        if (state == LockState::locked) {
            return std::nullopt;
        }
        return LockPlan{true, true, false};
    case LockEvent::unlocked:
        if (state == LockState::unlocked) {
            return std::nullopt;
        }
        return LockPlan{false, false, true};
    }
    return std::nullopt;
}

bool lockPermits(LockState state, GuardedOperation operation) noexcept {
    switch (operation) {
    case GuardedOperation::openPairingWindow:
    case GuardedOperation::unpair:
        return state == LockState::unlocked;
    case GuardedOperation::endPairingWindow:
    case GuardedOperation::disconnect:
        return true;
    }
    return false;
}

void LockPolicy::handle(LockEvent event) {
    const auto plan = lockPlan(state_, event);
    if (!plan) {
        return;
    }
    if (steps_.log) {
        steps_.log(event);
    }
    if (event == LockEvent::locked) {
        // The gate closes with the published flag, before anything else is told or stopped.
        state_ = LockState::locked;
        steps_.publish(true);
    }
    if (plan->stopInput) {
        steps_.stopInput();
    }
    if (plan->dropTransports) {
        steps_.dropTransports();
    }
    if (plan->resumeTransports) {
        if (!steps_.resumeTransports()) {
            return; // still locked, input still gated, the cable still stopped
        }
        state_ = LockState::unlocked;
        steps_.publish(false);
    }
}

} // namespace quillon
