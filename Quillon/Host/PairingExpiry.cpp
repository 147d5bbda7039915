#include "Quillon/Host/PairingExpiry.hpp"

#include "Platform/Dispatch/MainQueue.hpp"

#include <variant>

namespace quillon {

bool pairingWindowOver(bool pinShown, const PairingSession::State& window, double now) noexcept {
    if (!pinShown) {
        return false;
    }
    if (const auto* open = std::get_if<PairingSession::Open>(&window)) {
        return open->expiresAt <= now;
    }
    return true;
}

PairingExpiry::PairingExpiry(std::shared_ptr<platform::MainQueue> mainQueue, Hooks hooks,
                             std::chrono::milliseconds interval)
    : mainQueue_(std::move(mainQueue)), hooks_(std::move(hooks)), interval_(interval) {}

void PairingExpiry::watch() {
    if (ticking_) {
        return;
    }
    ticking_ = true;
    ++generation_;
    schedule();
}

void PairingExpiry::stop() {
    ticking_ = false;
    ++generation_;
}

void PairingExpiry::schedule() {
    mainQueue_->postAfter(interval_, [weak = weak_from_this(), generation = generation_] {
        if (auto self = weak.lock()) {
            self->tick(generation);
        }
    });
}

void PairingExpiry::tick(std::uint64_t generation) {
    if (generation != generation_ || !ticking_) {
        return;
    }
    if (!hooks_.pinShown()) {
        ticking_ = false; // ended or cancelled: the next window starts a watch of its own
        return;
    }
    if (hooks_.windowOver()) {
        ticking_ = false;
        hooks_.expire();
        return;
    }
    schedule();
}

} // namespace quillon
