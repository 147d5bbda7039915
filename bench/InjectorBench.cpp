// Cost of one input message through EventInjector::handle (time, heap allocations and mutex
// acquisitions per message) into a backend that only counts its verbs (the X11 backend takes
// no lock of its own either). Then the regularity of the 120 Hz momentum ticks on a real
// serial queue.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Input/InputGate.hpp"

#include "bench/LockCounter.hpp"
#include "tests/support/AllocationHook.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
std::atomic<std::uint64_t> gAllocations{0};
}

void quillon::testing::onAllocation(std::size_t) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
}

namespace {

using namespace quillon;
namespace cm = wire::cm;
using Clock = std::chrono::steady_clock;

std::filesystem::path benchDir() {
    static const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("quillon-injector-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

platform::Defaults& benchDefaults() {
    static platform::Defaults defaults(benchDir() / "defaults.json");
    return defaults;
}

// A backend that only counts what it is given: the injector's own cost, without a display
// server. Like the X11 backend it relies on the injector's lock.
class CountingBackend : public platform::InputBackend {
public:
    std::string_view name() const override { return "counting"; }
    platform::InputPermission permission() const override { return {true, {}}; }
    std::uint64_t connections() const override { return 1; }
    void movePointerTo(platform::Point) override { ++verbs; }
    void movePointerBy(double, double) override { ++verbs; }
    void button(int, bool) override { ++verbs; }
    void key(int, bool) override { ++verbs; }
    void typeText(std::u32string_view) override { ++verbs; }
    void wheel(int, int) override { ++verbs; }
    std::optional<platform::KeyPlace> keyForKeysym(std::uint32_t) override { return {}; }
    bool desktopAction(platform::DesktopAction) override { return true; }
    void flush() override { ++flushes; }
    std::uint64_t verbs = 0;
    std::uint64_t flushes = 0;
};

struct Rig {
    std::shared_ptr<CountingBackend> backend = std::make_shared<CountingBackend>();
    std::shared_ptr<EventInjector> injector;

    Rig() {
        benchDefaults().set("momentumEnabled", false);
        injector =
            EventInjector::create({.backend = backend,
                                   .geometry = std::make_shared<platform::FixedDisplayGeometry>(
                                       platform::Rect{0, 0, 2560, 1440}),
                                   .defaults = benchDefaults(),
                                   .gate = std::make_shared<InputGate>(),
                                   .scheduler = std::make_shared<platform::ManualScheduler>()});
    }
};

void perMessage(benchmark::State& state, std::uint64_t allocations, std::uint64_t locks) {
    const auto n = static_cast<double>(state.iterations());
    state.counters["allocs/msg"] = static_cast<double>(allocations) / n;
    state.counters["locks/msg"] = static_cast<double>(locks) / n;
    state.counters["ns/msg"] =
        benchmark::Counter(n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void runMessages(benchmark::State& state, const std::vector<wire::ControlMessage>& messages) {
    Rig rig;
    for (const auto& m : messages) { // warm-up: first-use allocations are not per message
        rig.injector->handle(m);
    }
    std::size_t i = 0;
    const std::uint64_t before = gAllocations.load();
    const std::uint64_t locksBefore = benchlocks::acquisitions.load();
    for (auto _ : state) {
        rig.injector->handle(messages[i]);
        i = (i + 1) % messages.size();
    }
    perMessage(state, gAllocations.load() - before, benchlocks::acquisitions.load() - locksBefore);
}

void BM_PointerRelative(benchmark::State& state) {
    runMessages(state, {cm::PointerRelative{3, -2}, cm::PointerRelative{-3, 2}});
}
BENCHMARK(BM_PointerRelative);

void BM_PointerAbsolute(benchmark::State& state) {
    runMessages(state, {cm::PointerAbsolute{0.25f, 0.5f, 0}, cm::PointerAbsolute{0.75f, 0.5f, 0}});
}
BENCHMARK(BM_PointerAbsolute);

void BM_Drag(benchmark::State& state) {
    Rig rig;
    rig.injector->handle(cm::MouseButton{wire::MouseButton::left, true});
    rig.injector->handle(cm::PointerRelative{1, 0});
    state.SetLabel("left held");
    const std::uint64_t before = gAllocations.load();
    const std::uint64_t locksBefore = benchlocks::acquisitions.load();
    float d = 1;
    for (auto _ : state) {
        rig.injector->handle(cm::PointerRelative{d, 0});
        d = -d;
    }
    perMessage(state, gAllocations.load() - before, benchlocks::acquisitions.load() - locksBefore);
}
BENCHMARK(BM_Drag);

void BM_KeyCombo(benchmark::State& state) {
    runMessages(state, {cm::KeyCombo{8, wire::KeyModifiers::command | wire::KeyModifiers::shift}});
}
BENCHMARK(BM_KeyCombo);

void BM_ScrollChanged(benchmark::State& state) {
    runMessages(state, {cm::Scroll{0, -3, wire::ScrollPhase::changed},
                        cm::Scroll{0.5f, 3, wire::ScrollPhase::changed}});
}
BENCHMARK(BM_ScrollChanged);

void BM_TextInput(benchmark::State& state) {
    runMessages(state, {cm::TextInput{"Hello, w\xC3\xB6rld! \xE4\xBD\xA0\xE5\xA5\xBD"}});
}
BENCHMARK(BM_TextInput);

// Timestamps every wheel turn (storage reserved up front).
class TimestampBackend : public CountingBackend {
public:
    TimestampBackend() { stamps_.reserve(4096); }
    void wheel(int, int) override {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        if (stamps_.size() < stamps_.capacity()) {
            stamps_.push_back(now);
        }
    }
    std::vector<Clock::time_point> stamps() {
        std::lock_guard lock(mutex_);
        return stamps_;
    }

private:
    std::mutex mutex_;
    std::vector<Clock::time_point> stamps_;
};

void measureMomentumTicks() {
    platform::Defaults& defaults = benchDefaults();
    defaults.set("momentumEnabled", true);
    defaults.set("momentumDecay", 1.0); // constant speed: ticks until stopped
    auto backend = std::make_shared<TimestampBackend>();
    auto queue = std::make_shared<platform::SerialQueue>("quillon-momentum");
    auto injector =
        EventInjector::create({.backend = backend,
                               .geometry = std::make_shared<platform::FixedDisplayGeometry>(
                                   platform::Rect{0, 0, 2560, 1440}),
                               .defaults = defaults,
                               .gate = std::make_shared<InputGate>(),
                               .scheduler = queue});
    injector->handle(cm::Scroll{0, -3, wire::ScrollPhase::changed});
    const auto ended = Clock::now();
    injector->handle(cm::Scroll{0, 0, wire::ScrollPhase::ended});
    const auto before = backend->stamps().size(); // the changed's own wheel
    std::this_thread::sleep_for(std::chrono::seconds(2));
    injector->releaseAll(); // stops it
    auto stamps = backend->stamps();
    stamps.erase(stamps.begin(), stamps.begin() + static_cast<std::ptrdiff_t>(before));
    if (stamps.size() < 3) {
        std::printf("momentum ticks: too few ticks recorded (%zu)\n", stamps.size());
        return;
    }
    const double period = 1e9 / 120.0;
    std::vector<double> deviation;
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        const double interval =
            std::chrono::duration<double, std::nano>(stamps[i] - stamps[i - 1]).count();
        deviation.push_back(std::abs(interval - period));
    }
    std::sort(deviation.begin(), deviation.end());
    const auto pick = [&](double q) {
        return deviation[std::min(
            deviation.size() - 1,
            static_cast<std::size_t>(q * static_cast<double>(deviation.size())))];
    };
    const double first = std::chrono::duration<double, std::milli>(stamps.front() - ended).count();
    std::printf("momentum ticks over 2 s: %zu ticks; first tick %.3f ms after ended (8 ms "
                "nominal)\n",
                stamps.size(), first);
    std::printf("tick interval deviation from 1/120 s: median %.1f us, p99 %.1f us, max %.1f "
                "us\n",
                pick(0.5) / 1e3, pick(0.99) / 1e3, deviation.back() / 1e3);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    measureMomentumTicks();
    std::error_code ec;
    std::filesystem::remove_all(benchDir(), ec);
    return 0;
}
