#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quillon {

// Scrolling after the finger lifts, as a plain value given the time: no clock, no timer, no
// thread of its own. Its owner records the deltas of a scroll series, calls start() when the
// series ends, and then advance() whenever it likes (a 120 Hz timer of the host's choosing):
// advance() hands out every tick that has come due by the time given, so a late call catches
// up instead of stretching the motion.
//
// A tick multiplies the velocity by the decay and yields the rounded velocity; when both axes
// round to zero the momentum yields its end and stops. Velocities are points per tick, the
// mean of the last four recorded deltas; a flick slower than kThreshold on both axes has none.
class ScrollMomentum {
public:
    using Time = std::chrono::nanoseconds; // on the owner's monotonic clock

    static constexpr Time kFirstDelay{8'000'000}; // the first tick, after start()
    static constexpr Time kInterval{8'333'333};   // then one every 1/120 s
    static constexpr double kThreshold = 1.5;     // points per tick
    static constexpr std::size_t kRecent = 4;     // deltas the velocity is the mean of

    enum class Phase : std::uint8_t { begin, proceed, end };
    struct Tick {
        std::int32_t dx = 0;
        std::int32_t dy = 0;
        Phase phase = Phase::begin;
        bool operator==(const Tick&) const = default;
    };

    // A delta of the series under way (points, after gain); the oldest beyond four is dropped.
    void record(double dx, double dy) noexcept;
    // Forgets the recorded deltas (a new series begins).
    void clearRecent() noexcept;

    // Stops any momentum, then starts one at `now` from the recorded deltas (which are used
    // up). False, and nothing runs, when none were recorded or the flick was too slow.
    bool start(Time now) noexcept;
    void stop() noexcept;
    bool running() const noexcept { return running_; }
    // Started momenta so far: a timer armed for one momentum can tell it is not the current.
    std::uint64_t generation() const noexcept { return generation_; }
    // When the next tick is due (meaningful while running).
    Time nextTick() const noexcept { return next_; }

    // Every tick due by `now`, in order, each decaying the velocity by `decay`, handed to
    // `emit(Tick)`. The end tick stops the momentum. Returns how many ticks were due.
    template <typename Emit> std::size_t advance(Time now, double decay, Emit&& emit) {
        std::size_t n = 0;
        while (running_ && next_ <= now) {
            emit(step(decay));
            ++n;
            next_ += kInterval;
        }
        return n;
    }

private:
    Tick step(double decay) noexcept;

    std::array<double, kRecent> recentX_{};
    std::array<double, kRecent> recentY_{};
    std::size_t recentCount_ = 0; // oldest first
    bool running_ = false;
    bool started_ = false; // the begin tick has been handed out
    double vx_ = 0;
    double vy_ = 0;
    Time next_{};
    std::uint64_t generation_ = 0;
};

} // namespace quillon
