#include "Quillon/Host/InputDiagnostics.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Locale/Translation.hpp"

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
    return i18n::fill(i18n::tr("gestureProbe sends {1}"), {wire::caseName(gesture)});
}

std::string scrollProbeStartLine(bool fast) {
    return i18n::fill(i18n::tr("scrollProbe starts fast={1}"), {fast ? "true" : "false"});
}

std::string scrollProbeEndLine(bool fast, double peakGain, double totalScrolledY) {
    const double expected = peakGain * 60.0;
    const double rate = totalScrolledY / std::max(expected, 1.0) * 100.0;
    return i18n::fill(i18n::tr("scrollProbe ends fast={1} input 60 points peak gain={2} "
                               "expected≈{3}px sent={4}px achieved={5}%"),
                      {fast ? "true" : "false", printf2("%.1f", peakGain),
                       std::to_string(static_cast<long long>(expected)),
                       std::to_string(static_cast<long long>(totalScrolledY)),
                       std::to_string(static_cast<long long>(rate))});
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
                    log_(i18n::fill(i18n::tr("absolute pointer x{1} latest x={2} y={3} hoverZ={4}"),
                                    {std::to_string(n), diagnostics::formatFloat(m.x),
                                     diagnostics::formatFloat(m.y),
                                     diagnostics::formatFloat(m.hoverZ)}));
                }
            } else if constexpr (std::is_same_v<T, cm::PointerRelative>) {
                const auto n = pointerCount_.fetch_add(1) + 1;
                if (n % kPointerLineEvery == 0) {
                    log_(i18n::fill(i18n::tr("relative pointer x{1} latest dx={2} dy={3}"),
                                    {std::to_string(n), diagnostics::formatFloat(m.dx),
                                     diagnostics::formatFloat(m.dy)}));
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
                        log_(i18n::fill(i18n::tr("scroll series ended: {1} frames / {2}s = {3}Hz"),
                                        {std::to_string(frames), printf2("%.3f", elapsed),
                                         std::to_string(hz)}));
                    }
                    break;
                }
                }
            } else {
                log_(i18n::fill(i18n::tr("received {1}"), {message.description()}));
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
        // Formatted on the stack from a translation looked up once (one language per run):
        // this line is written from the input path.
        static const std::string format =
            i18n::tr("injection timing: %d injections, mean %.0f μs (%.3f ms)");
        char line[256];
        std::snprintf(line, sizeof line, format.c_str(), static_cast<int>(n), meanMicros,
                      meanMicros / 1000.0);
        log_(line);
    }
}

} // namespace quillon
