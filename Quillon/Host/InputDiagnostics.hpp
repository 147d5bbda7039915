#pragma once

#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/InputTypes.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::platform {
class Defaults;
}

namespace quillon {

// Diagnostic aids for tuning injection on a real machine: verbose lines about incoming input
// (switched by "verboseInputLogging", read afresh for every message), a running statistic of
// how long each immediate-path injection takes, and the texts of the gesture/scroll probes.
// None of it changes what is injected.
//
// Input arrives from the Wi-Fi and USB queues at once, so every counter is a single atomic:
// a value is never torn, and the line for the Nth message is written by exactly the thread
// whose increment made it N. Figures from two counters read together may be one message apart.
class InputDiagnostics {
public:
    using LogSink = std::function<void(std::string_view line)>;
    using Clock = std::function<std::chrono::nanoseconds()>; // monotonic

    InputDiagnostics(LogSink log, std::function<bool()> verbose, Clock clock = monotonicNow);

    // The host's diagnostics: lines go to the diagnostics log, "verboseInputLogging" is read
    // from `defaults` (which must outlive the result).
    static std::shared_ptr<InputDiagnostics> toDiagLog(platform::Defaults& defaults);

    // Verbose logging of one message that passed the screen-lock check (either path).
    void logIncoming(const wire::ControlMessage& message);

    // Runs `inject` between two clock reads and adds the time to the statistic; every 200th
    // injection writes the cumulative figures.
    template <typename Inject> void timeInjection(Inject&& inject) {
        const auto before = clock_();
        inject();
        recordInjection(clock_() - before);
    }
    void recordInjection(std::chrono::nanoseconds took);

    std::uint64_t injectionCount() const noexcept { return injectionCount_.load(); }
    std::uint64_t pointerMessageCount() const noexcept { return pointerCount_.load(); }

    static std::chrono::nanoseconds monotonicNow();

private:
    LogSink log_;
    std::function<bool()> verbose_;
    Clock clock_;
    std::atomic<std::uint64_t> injectionTotalNanos_{0};
    std::atomic<std::uint64_t> injectionCount_{0};
    std::atomic<std::uint64_t> pointerCount_{0};
    std::atomic<std::int64_t> scrollSeriesStart_{-1}; // clock value in ns; -1 = no series
    std::atomic<std::int64_t> scrollSeriesFrames_{0};
};

namespace diagnostics {
// A 32-bit float in its shortest decimal form, always with a fraction or an exponent
// ("512.0", "0.1", "-3.25", "1e-05", "1.6777216e+07").
std::string formatFloat(float value);
// "gestureProbe 发送 <case name>"
std::string gestureProbeLine(wire::TrackpadGesture gesture);
// "scrollProbe 开始 fast=true|false"
std::string scrollProbeStartLine(bool fast);
// "scrollProbe 结束 fast=… 输入60点 峰值增益=%.1f 期望≈Npx 实发=Npx 达成率=N%"
std::string scrollProbeEndLine(bool fast, double peakGain, double totalScrolledY);
// The gesture named by "gestureProbeOnLaunch" (exact case name), if any.
std::optional<wire::TrackpadGesture> launchProbeGesture(const std::optional<std::string>& name);
} // namespace diagnostics

} // namespace quillon
