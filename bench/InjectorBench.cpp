// Cost of one input message through EventInjector::handle (time, heap allocations and mutex
// acquisitions per message): into the recording poster, and along the product's path through
// the event translator into a backend that only counts its verbs (the X11 backend takes no
// lock of its own either). Then the regularity of the 120 Hz momentum timer on a real serial
// queue.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/EventStream/RecordingPoster.hpp"
#include "Platform/Input/EventTranslator.hpp"
#include "Quillon/Input/CGEventSink.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include "bench/LockCounter.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
std::atomic<std::uint64_t> gAllocations{0};
}

void* operator new(std::size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
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

// A backend that only counts what it is given: the translator's own cost, without a display
// server. Like the X11 backend it relies on the translator's lock.
class CountingBackend : public platform::InputBackend {
public:
    std::string_view name() const override { return "counting"; }
    platform::InputPermission permission() const override { return {true, {}}; }
    void movePointerTo(platform::Point) override { ++verbs; }
    void movePointerBy(double, double) override { ++verbs; }
    void button(int, bool) override { ++verbs; }
    void key(int, bool) override { ++verbs; }
    void typeText(std::u32string_view) override { ++verbs; }
    void wheel(int, int) override { ++verbs; }
    void zoom(int) override { ++verbs; }
    void switchDesktop(int) override { ++verbs; }
    void toggleShowDesktop() override { ++verbs; }
    void openOverview() override { ++verbs; }
    void releaseAll() override { ++verbs; }
    void flush() override { ++flushes; }
    std::uint64_t verbs = 0;
    std::uint64_t flushes = 0;
};

enum class Path { recordingPoster, translator };

// The injector over the real sink, and either a recording poster whose storage is reused
// (clearing keeps the capacity, so the poster itself does not allocate in the measured loop)
// or the translator over a counting backend.
struct Rig {
    static constexpr std::size_t kKeep = 1 << 14;
    std::shared_ptr<platform::RecordingPoster> poster =
        std::make_shared<platform::RecordingPoster>();
    std::shared_ptr<platform::EventTranslator> translator;
    std::shared_ptr<CGEventSink> sink;
    std::unique_ptr<EventInjector> injector;

    explicit Rig(Path path) {
        benchDefaults().set("momentumEnabled", false);
        poster->reserve(kKeep + 64);
        auto geometry =
            std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 2560, 1440});
        std::shared_ptr<platform::EventPoster> target = poster;
        if (path == Path::translator) {
            translator = std::make_shared<platform::EventTranslator>(
                std::make_unique<CountingBackend>(),
                [] { return platform::readInputSettings(benchDefaults()); });
            target = translator;
        }
        sink = std::make_shared<CGEventSink>(target, geometry, translator, benchDefaults(),
                                             std::make_shared<platform::ManualScheduler>());
        injector =
            std::make_unique<EventInjector>(sink, GestureMapper::defaultMapper(), benchDefaults());
    }
    // Looks at the record only now and then: the look takes the poster's lock, which is not
    // the path's.
    void recycle() {
        if ((++handled & 1023) == 0 && poster->count() >= kKeep) {
            poster->clear();
        }
    }
    std::uint64_t handled = 0;
};

void perMessage(benchmark::State& state, std::uint64_t allocations, std::uint64_t locks) {
    const auto n = static_cast<double>(state.iterations());
    state.counters["allocs/msg"] = static_cast<double>(allocations) / n;
    state.counters["locks/msg"] = static_cast<double>(locks) / n;
    state.counters["ns/msg"] =
        benchmark::Counter(n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void runMessages(benchmark::State& state, const std::vector<wire::ControlMessage>& messages,
                 Path path = Path::recordingPoster) {
    Rig rig(path);
    for (const auto& m : messages) { // warm-up: first-use allocations are not per message
        rig.injector->handle(m);
    }
    rig.poster->clear();
    std::size_t i = 0;
    const std::uint64_t before = gAllocations.load();
    const std::uint64_t locksBefore = benchlocks::acquisitions.load();
    for (auto _ : state) {
        rig.injector->handle(messages[i]);
        i = (i + 1) % messages.size();
        rig.recycle();
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

void runDrag(benchmark::State& state, Path path) {
    Rig rig(path);
    rig.injector->handle(cm::MouseButton{wire::MouseButton::left, true});
    rig.injector->handle(cm::PointerRelative{1, 0});
    state.SetLabel("left held");
    rig.poster->clear();
    const std::uint64_t before = gAllocations.load();
    const std::uint64_t locksBefore = benchlocks::acquisitions.load();
    float d = 1;
    for (auto _ : state) {
        rig.injector->handle(cm::PointerRelative{d, 0});
        d = -d;
        rig.recycle();
    }
    perMessage(state, gAllocations.load() - before, benchlocks::acquisitions.load() - locksBefore);
}

void BM_Drag(benchmark::State& state) {
    runDrag(state, Path::recordingPoster);
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

// The product's path: the same messages through the translator into the backend verbs.
void BM_Backend_PointerRelative(benchmark::State& state) {
    runMessages(state, {cm::PointerRelative{3, -2}, cm::PointerRelative{-3, 2}}, Path::translator);
}
BENCHMARK(BM_Backend_PointerRelative);

void BM_Backend_PointerAbsolute(benchmark::State& state) {
    runMessages(state, {cm::PointerAbsolute{0.25f, 0.5f, 0}, cm::PointerAbsolute{0.75f, 0.5f, 0}},
                Path::translator);
}
BENCHMARK(BM_Backend_PointerAbsolute);

void BM_Backend_Drag(benchmark::State& state) {
    runDrag(state, Path::translator);
}
BENCHMARK(BM_Backend_Drag);

void BM_Backend_KeyCombo(benchmark::State& state) {
    runMessages(state, {cm::KeyCombo{8, wire::KeyModifiers::command | wire::KeyModifiers::shift}},
                Path::translator);
}
BENCHMARK(BM_Backend_KeyCombo);

void BM_Backend_ScrollChanged(benchmark::State& state) {
    runMessages(state,
                {cm::Scroll{0, -3, wire::ScrollPhase::changed},
                 cm::Scroll{0.5f, 3, wire::ScrollPhase::changed}},
                Path::translator);
}
BENCHMARK(BM_Backend_ScrollChanged);

void BM_Backend_TextInput(benchmark::State& state) {
    runMessages(state, {cm::TextInput{"Hello, w\xC3\xB6rld! \xE4\xBD\xA0\xE5\xA5\xBD"}},
                Path::translator);
}
BENCHMARK(BM_Backend_TextInput);

// Timestamps every momentum post (storage reserved up front).
class TimestampPoster : public platform::EventPoster {
public:
    TimestampPoster() { stamps_.reserve(4096); }
    void post(const platform::Event&) override {
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
    auto poster = std::make_shared<TimestampPoster>();
    auto geometry =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 2560, 1440});
    // The sink's own momentum queue, as in the application.
    auto sink = std::make_shared<CGEventSink>(poster, geometry, nullptr, defaults);
    sink->scroll(0, -3, wire::ScrollPhase::changed);
    const auto ended = Clock::now();
    sink->scroll(0, 0, wire::ScrollPhase::ended);
    const auto wheelsBefore = poster->stamps().size(); // the ended wheel and its companions
    std::this_thread::sleep_for(std::chrono::seconds(2));
    sink->scroll(0, 0, wire::ScrollPhase::began); // stops it
    auto stamps = poster->stamps();
    stamps.erase(stamps.begin(), stamps.begin() + static_cast<std::ptrdiff_t>(wheelsBefore));
    // Drop the began's own events, posted at the end.
    while (!stamps.empty() && stamps.back() > ended + std::chrono::seconds(2)) {
        stamps.pop_back();
    }
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
