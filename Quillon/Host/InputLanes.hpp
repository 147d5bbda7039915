#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace quillon {

// One queue of input work per device, so that a device's messages reach the display server in
// the order they were sent whichever thread each must run on: a click that has to wait for the
// main thread holds back the moves that follow it, instead of being overtaken by them.
//
// A step says where it may run:
// - anywhere: short work (a move, a key). When its lane is idle it runs at once on the
//   submitting thread, as input always did; otherwise it waits its turn.
// - worker: long work done piecewise (typing a long text). Runs on the worker executor one
//   piece per turn, so the worker passes between lanes and one device's text leaves the
//   delivering thread free and does not hold back another device's pointer.
// - main: work that must run on the main thread.
// A step's work returns true when it is done; false means "more to do": it stays at the front
// of its lane and runs again at its next turn.
//
// Each lane holds at most `maxPendingCost` of waiting work (the cost the submitter names, e.g.
// bytes of text); a submission beyond it is refused, so a client that sends text faster than it
// can be typed is bounded instead of growing the host without limit.
//
// Thread-safe. Executors must run work later, never inline.
class InputLanes : public std::enable_shared_from_this<InputLanes> {
public:
    enum class Where { anywhere, worker, main };
    struct Step {
        Where where = Where::anywhere;
        std::function<bool()> work;
        std::size_t cost = 0;
    };
    struct Executors {
        std::function<void(std::function<void()>)> main;
        std::function<void(std::function<void()>)> worker;
    };

    static std::shared_ptr<InputLanes> create(Executors executors, std::size_t maxPendingCost);

    // Appends the step to the device's lane. False when refused (the lane is over its cost).
    bool submit(const std::string& deviceID, Step step);
    // Drops the waiting steps of one device, or of all. A step already running finishes its
    // current turn.
    void clear(const std::string& deviceID);
    void clearAll();

    std::size_t pendingCost(const std::string& deviceID) const;
    // True when no lane has work waiting or running: a submitter may then run short work
    // itself at once, with no lane entry, and still keep every device's order (what it
    // submits after that waits for it on its own thread anyway). Lock-free.
    bool quiet() const noexcept { return driven_.load(std::memory_order_acquire) == 0; }

private:
    enum class Context { submitter, worker, main };
    // A lane is idle (nobody drives it) or driven by exactly one thread at a time.
    enum class LaneState { idle, driven };
    struct Lane {
        std::deque<Step> steps;
        std::size_t cost = 0;
        LaneState state = LaneState::idle;
        std::uint64_t clears = 0; // a step that ran across a clear() is not popped after it
    };

    InputLanes(Executors executors, std::size_t maxPendingCost)
        : executors_(std::move(executors)), maxPendingCost_(maxPendingCost) {}
    void drive(const std::string& deviceID, Context context);
    void handOver(const std::string& deviceID, Where where);

    Executors executors_;
    std::size_t maxPendingCost_;
    mutable std::mutex mutex_;
    std::map<std::string, Lane> lanes_;
    // Lanes whose state is driven (changed under mutex_, read without it).
    std::atomic<std::size_t> driven_{0};
};

} // namespace quillon
