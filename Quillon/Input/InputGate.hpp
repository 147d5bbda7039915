#pragma once

#include <atomic>

namespace quillon {

// Whether synthesised input may reach the desktop now: closed while the screen is locked. The
// coordinator closes it before anything else hears of the lock; long work (typing a long text
// chunk by chunk, momentum ticks, probes) looks at it between steps and stops at once, so
// nothing is posted once the lock has been seen. Releases of held keys and buttons are never
// gated. Lock-free: read on the input path and the momentum queue, written on the main queue.
class InputGate {
public:
    void close() noexcept { closed_.store(true, std::memory_order_release); }
    void open() noexcept { closed_.store(false, std::memory_order_release); }
    bool isOpen() const noexcept { return !closed_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> closed_{false};
};

} // namespace quillon
