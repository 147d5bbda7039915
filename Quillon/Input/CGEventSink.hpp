#pragma once

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/EventStream/EventPoster.hpp"
#include "Quillon/Input/DragStateResolver.hpp"
#include "Quillon/Input/EventSink.hpp"
#include "Quillon/Input/InputGate.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

namespace quillon {

// An optional point in three lock-free atomics, for a single writer at a time (readers may be
// anywhere). load() answers a point that was stored, or nothing after reset().
class AtomicPoint {
public:
    std::optional<platform::Point> load() const noexcept {
        if (!has_.load(std::memory_order_acquire)) {
            return std::nullopt;
        }
        return platform::Point{x_.load(std::memory_order_relaxed),
                               y_.load(std::memory_order_relaxed)};
    }
    void store(platform::Point p) noexcept {
        x_.store(p.x, std::memory_order_relaxed);
        y_.store(p.y, std::memory_order_relaxed);
        has_.store(true, std::memory_order_release);
    }
    void reset() noexcept { has_.store(false, std::memory_order_release); }

private:
    std::atomic<double> x_{0};
    std::atomic<double> y_{0};
    std::atomic<bool> has_{false};
};

// The event sink of the host: describes every synthesised event as a platform::Event and hands
// it to an EventPoster (the X11 poster in the application, a recording poster in tests).
// Scrolling is made trackpad-like: gain, optional inversion, scroll phases with gesture
// companions, and momentum at 120 Hz on its own queue after the finger lifts.
//
// Settings (user defaults, read at each use): "scrollGain", "invertScrollX", "invertScrollY",
// "momentumEnabled", "momentumDecay".
class CGEventSink : public EventSink {
public:
    static constexpr const char* kMomentumQueueLabel = "quillon-momentum";
    // Momentum: first tick 8 ms after the scroll ends, then every 1/120 s.
    static constexpr std::chrono::nanoseconds kMomentumFirstDelay{8'000'000};
    static constexpr std::chrono::nanoseconds kMomentumInterval{8'333'333};

    // `momentumScheduler` runs the momentum ticks; when null the sink makes its own SerialQueue
    // labelled kMomentumQueueLabel. `overview` may be null (a swipe up then does nothing).
    // `defaults` must outlive the sink. `gate` (null: always open) stops typing, momentum and
    // the probes between steps once it closes.
    CGEventSink(std::shared_ptr<platform::EventPoster> poster,
                std::shared_ptr<const platform::DisplayGeometry> geometry,
                std::shared_ptr<platform::OverviewOpener> overview, platform::Defaults& defaults,
                std::shared_ptr<platform::Scheduler> momentumScheduler = nullptr,
                std::shared_ptr<const InputGate> gate = nullptr);
    ~CGEventSink() override;
    CGEventSink(const CGEventSink&) = delete;
    CGEventSink& operator=(const CGEventSink&) = delete;

    platform::Rect screenBounds() const override;
    void moveCursor(platform::Point to) override;
    void resetButtonState() override;
    void mouseButton(wire::MouseButton button, bool isDown, platform::Point at) override;
    void multiClick(wire::MouseButton button, std::int64_t clickCount, platform::Point at) override;
    void setModifier(wire::KeyModifiers modifiers, bool isDown) override;
    void scroll(double dx, double dy, wire::ScrollPhase phase) override;
    void magnify(double scale, wire::ScrollPhase phase) override;
    void navigationSwipe(wire::TrackpadGesture gesture) override;
    void smartZoom() override;
    void showDesktop() override;
    void keyCombo(std::uint16_t keyCode, wire::KeyModifiers modifiers) override;
    void typeText(std::string_view text) override;

    // Imitates a horizontal dock swipe: three phases of two event pairs, posted to the session
    // tap without a source.
    void switchSpace(bool toRight);
    // A snapshot of the modifiers this sink holds down.
    wire::KeyModifiers activeModifiers() const;

    // Diagnostics. Both statistics are read and written under the scroll lock, so a pair read
    // with scrollStats() is never torn by a concurrent momentum tick.
    double totalScrolledY() const;
    void setTotalScrolledY(double value);
    double peakGain() const;
    void setPeakGain(double value);
    // (totalScrolledY, peakGain) read together.
    std::pair<double, double> scrollStats() const;
    void resetScrollStats();
    // A fixed zoom gesture for diagnostics; blocks the caller for about 0.2 s.
    void magnifyProbe();
    // True while a momentum timer is set.
    bool momentumRunning() const;

    // The event flags of a modifier mask (unnamed bits contribute nothing).
    static std::uint64_t eventFlags(wire::KeyModifiers modifiers) noexcept;

private:
    struct Scroller;

    bool emit(const platform::Event& event);
    void postModifierKeys(wire::KeyModifiers modifiers, bool isDown);
    void postKey(std::uint16_t keyCode, bool down, std::uint64_t flags);

    std::shared_ptr<platform::EventPoster> poster_;
    std::shared_ptr<const platform::DisplayGeometry> geometry_;
    std::shared_ptr<platform::OverviewOpener> overview_;
    platform::Defaults& defaults_;

    std::shared_ptr<const InputGate> gate_;

    // The three fields the thirteen operations share. Those operations never overlap (the
    // injector calls them under its lock; the scroll self-test touches none of these), so
    // each field needs atomicity only against readers elsewhere (activeModifiers() from the
    // main thread), not a lock: a pointer move takes no lock in the sink.
    std::atomic<MouseButtonSet> pressedButtons_{};
    std::atomic<wire::KeyModifiers> modifierState_{};
    AtomicPoint lastMovePoint_;

    // Declared before scroller_ so it is destroyed after it: a queue that joins its thread in
    // its destructor lets a running tick finish first.
    std::shared_ptr<platform::Scheduler> momentumScheduler_;
    // Shared with the momentum ticks, which hold it weakly.
    std::shared_ptr<Scroller> scroller_;
};

} // namespace quillon
