#include "Quillon/Input/ScrollMomentum.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillon {

namespace {
constexpr double kInt32Min = static_cast<double>(std::numeric_limits<std::int32_t>::min());
constexpr double kInt32Max = static_cast<double>(std::numeric_limits<std::int32_t>::max());

// Velocities stay inside the int32 range so every rounded delta converts without undefined
// behaviour; NaN (a non-finite decay) is no motion.
std::int32_t roundToInt32(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    return static_cast<std::int32_t>(std::round(std::clamp(v, kInt32Min, kInt32Max)));
}
} // namespace

void ScrollMomentum::record(double dx, double dy) noexcept {
    if (recentCount_ == kRecent) {
        std::copy(recentX_.begin() + 1, recentX_.end(), recentX_.begin());
        std::copy(recentY_.begin() + 1, recentY_.end(), recentY_.begin());
        --recentCount_;
    }
    recentX_[recentCount_] = dx;
    recentY_[recentCount_] = dy;
    ++recentCount_;
}

void ScrollMomentum::clearRecent() noexcept {
    recentCount_ = 0;
}

bool ScrollMomentum::start(Time now) noexcept {
    stop();
    if (recentCount_ == 0) {
        return false;
    }
    double sx = 0;
    double sy = 0;
    for (std::size_t i = 0; i < recentCount_; ++i) {
        sx += recentX_[i];
        sy += recentY_[i];
    }
    vx_ = sx / static_cast<double>(recentCount_);
    vy_ = sy / static_cast<double>(recentCount_);
    recentCount_ = 0;
    if (std::abs(vx_) < kThreshold && std::abs(vy_) < kThreshold) {
        return false; // too slow a flick
    }
    running_ = true;
    started_ = false;
    next_ = now + kFirstDelay;
    ++generation_;
    return true;
}

void ScrollMomentum::stop() noexcept {
    running_ = false;
    started_ = false;
}

ScrollMomentum::Tick ScrollMomentum::step(double decay) noexcept {
    vx_ *= decay;
    vy_ *= decay;
    const std::int32_t rx = roundToInt32(vx_);
    const std::int32_t ry = roundToInt32(vy_);
    if (rx == 0 && ry == 0) {
        stop();
        return {0, 0, Phase::end};
    }
    const Phase phase = started_ ? Phase::proceed : Phase::begin;
    started_ = true;
    return {rx, ry, phase};
}

} // namespace quillon
