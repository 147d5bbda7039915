#include "Quillon/Host/InputDiagnostics.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <type_traits>

namespace quillon {

namespace {

constexpr std::uint64_t kPointerLineEvery = 30;
constexpr std::uint64_t kStatisticsLineEvery = 200;

std::string printf2(const char* format, auto... args) {
    char buffer[256];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    return std::string(buffer, n < 0 ? 0 : std::min<std::size_t>(n, sizeof buffer - 1));
}

} // namespace

namespace diagnostics {

std::string formatFloat(float value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    const float magnitude = std::fabs(value);
    char buffer[64];
    // Plain digits for everyday magnitudes, scientific notation for the very large and small
    // (as a 32-bit float's own description does).
    const bool scientific = magnitude != 0.0f && (magnitude >= 16777216.0f || magnitude < 1e-4f);
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value,
                      scientific ? std::chars_format::scientific : std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (!scientific && text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

std::string gestureProbeLine(wire::TrackpadGesture gesture) {
    return std::string("gestureProbe 发送 ") + wire::caseName(gesture);
}

std::string scrollProbeStartLine(bool fast) {
    return std::string("scrollProbe 开始 fast=") + (fast ? "true" : "false");
}

std::string scrollProbeEndLine(bool fast, double peakGain, double totalScrolledY) {
    const double expected = peakGain * 60.0;
    const double rate = totalScrolledY / std::max(expected, 1.0) * 100.0;
    return std::string("scrollProbe 结束 fast=") + (fast ? "true" : "false") +
           " 输入60点 峰值增益=" + printf2("%.1f", peakGain) + " 期望≈" +
           std::to_string(static_cast<long long>(expected)) +
           "px 实发=" + std::to_string(static_cast<long long>(totalScrolledY)) +
           "px 达成率=" + std::to_string(static_cast<long long>(rate)) + "%";
}

std::optional<wire::TrackpadGesture> launchProbeGesture(const std::optional<std::string>& name) {
    if (!name) {
        return std::nullopt;
    }
    return wire::fromCaseName<wire::TrackpadGesture>(*name);
}

} // namespace diagnostics

InputDiagnostics::InputDiagnostics(LogSink log, std::function<bool()> verbose, Clock clock)
    : log_(std::move(log)), verbose_(std::move(verbose)), clock_(std::move(clock)) {}

namespace {
struct VerboseCache {
    std::atomic<std::uint64_t> generation{UINT64_MAX}; // nothing read yet
    std::atomic<bool> value{false};
};
} // namespace

std::shared_ptr<InputDiagnostics> InputDiagnostics::toDiagLog(platform::Defaults& defaults) {
    return std::make_shared<InputDiagnostics>(
        [](std::string_view line) { platform::DiagLog::write(line); },
        // Asked for every message: read again only when the defaults changed, so the input path
        // takes no lock for it.
        [&defaults, cache = std::make_shared<VerboseCache>()] {
            const std::uint64_t generation = defaults.generation();
            if (cache->generation.load(std::memory_order_acquire) != generation) {
                cache->value.store(defaults.boolean("verboseInputLogging").value_or(false),
                                   std::memory_order_relaxed);
                cache->generation.store(generation, std::memory_order_release);
            }
            return cache->value.load(std::memory_order_relaxed);
        });
}

std::chrono::nanoseconds InputDiagnostics::monotonicNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

void InputDiagnostics::logIncoming(const wire::ControlMessage& message) {
    if (!verbose_()) {
        return;
    }
    using namespace wire;
    std::visit(
        [&](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, cm::PointerAbsolute>) {
                const auto n = pointerCount_.fetch_add(1) + 1;
                if (n % kPointerLineEvery == 0) {
                    log_("绝对定位 x" + std::to_string(n) + " 最新 x=" +
                         diagnostics::formatFloat(m.x) + " y=" + diagnostics::formatFloat(m.y) +
                         " hoverZ=" + diagnostics::formatFloat(m.hoverZ));
                }
            } else if constexpr (std::is_same_v<T, cm::PointerRelative>) {
                const auto n = pointerCount_.fetch_add(1) + 1;
                if (n % kPointerLineEvery == 0) {
                    log_("相对移动 x" + std::to_string(n) + " 最新 dx=" +
                         diagnostics::formatFloat(m.dx) + " dy=" + diagnostics::formatFloat(m.dy));
                }
            } else if constexpr (std::is_same_v<T, cm::Scroll>) {
                switch (m.phase) {
                case ScrollPhase::began:
                    scrollSeriesFrames_.store(0);
                    scrollSeriesStart_.store(clock_().count());
                    break;
                case ScrollPhase::changed:
                case ScrollPhase::momentum:
                    scrollSeriesFrames_.fetch_add(1);
                    break;
                case ScrollPhase::ended: {
                    const auto start = scrollSeriesStart_.exchange(-1);
                    const auto frames = scrollSeriesFrames_.load();
                    if (start >= 0 && frames >= 1) {
                        const double elapsed = static_cast<double>(clock_().count() - start) / 1e9;
                        const auto hz = static_cast<long long>(static_cast<double>(frames) /
                                                               std::max(elapsed, 0.001));
                        log_("滚动序列结束：" + std::to_string(frames) + " 帧 / " +
                             printf2("%.3f", elapsed) + "s = " + std::to_string(hz) + "Hz");
                    }
                    break;
                }
                }
            } else {
                log_("收到 " + message.description());
            }
        },
        message.value());
}

void InputDiagnostics::recordInjection(std::chrono::nanoseconds took) {
    const auto nanos = static_cast<std::uint64_t>(std::max<std::int64_t>(took.count(), 0));
    const auto total = injectionTotalNanos_.fetch_add(nanos) + nanos;
    const auto n = injectionCount_.fetch_add(1) + 1;
    if (n % kStatisticsLineEvery == 0) {
        const double meanMicros = static_cast<double>(total) / 1000.0 / static_cast<double>(n);
        // Formatted on the stack: this line is written from the input path.
        char line[192];
        std::snprintf(line, sizeof line, "注入耗时统计：%d 次，平均 %.0f μs（%.3f ms）",
                      static_cast<int>(n), meanMicros, meanMicros / 1000.0);
        log_(line);
    }
}

} // namespace quillon
