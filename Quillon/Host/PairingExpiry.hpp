#pragma once

#include "Quillon/Pairing/PairingSession.hpp"

#include <chrono>
#include <functional>
#include <memory>

namespace quillon::platform {
class MainQueue;
}

namespace quillon {

// Whether the pairing window of a shown PIN is over at `now` (seconds on the system clock): it
// ran out, or the transport closed it (a device paired, too many wrong PINs). Without a shown
// PIN there is nothing to end.
bool pairingWindowOver(bool pinShown, const PairingSession::State& window, double now) noexcept;

// The host's one timer over the pairing window. While a PIN is shown it looks every `interval`
// and ends a window that is over, so that every surface takes an expired PIN off the screen at
// the same moment and none has to poll for it; the surfaces only count the seconds down. Main
// queue only.
class PairingExpiry : public std::enable_shared_from_this<PairingExpiry> {
public:
    struct Hooks {
        std::function<bool()> pinShown;
        std::function<bool()> windowOver;
        std::function<void()> expire;
    };
    PairingExpiry(std::shared_ptr<platform::MainQueue> mainQueue, Hooks hooks,
                  std::chrono::milliseconds interval = std::chrono::seconds(1));

    // A PIN is shown: looks after it until it goes (once ticking, a second call changes
    // nothing).
    void watch();
    // Looks no more (the host stops).
    void stop();

private:
    void schedule();
    void tick(std::uint64_t generation);

    std::shared_ptr<platform::MainQueue> mainQueue_;
    Hooks hooks_;
    std::chrono::milliseconds interval_;
    bool ticking_ = false;
    std::uint64_t generation_ = 0; // a tick of an earlier watch() does nothing
};

} // namespace quillon
