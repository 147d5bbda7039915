// Pointer moves from an input backend to another client of the same display server, in one run
// for each server the host supports: Xvfb (XTest), headless Sway (wlroots virtual pointer) and
// headless KWin (fake input), headless GNOME Shell (Mutter's remote desktop over D-Bus, absolute
// motion through a screen cast stream). For each: the median and 90th percentile time from handing
// a move to the backend (and flushing, as the host does once per received frame) to the observer
// window receiving that motion, and the moves per second a burst reaches (ending with a round
// trip). A server that cannot run here is reported and skipped.
//
//   WaylandInjectBench [samples]      (default 500)
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/GnomeRemoteDesktopBackend.hpp"
#include "Platform/Input/KdeFakeInputBackend.hpp"
#include "Platform/Input/WlrootsInputBackend.hpp"
#include "Platform/Input/X11InputBackend.hpp"

#include "tests/support/GnomeShellFixture.hpp"
#include "tests/support/KwinFixture.hpp"
#include "tests/support/SwayFixture.hpp"
#include "tests/support/WaylandInputObserver.hpp"
#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace quillon;
using namespace std::chrono_literals;

constexpr int kWidth = 1600;
constexpr int kHeight = 900;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

// Positions walk the output so every move changes the pointer.
platform::Point position(int i) {
    return {double(10 + (i * 7) % (kWidth - 20)), double(10 + (i * 3) % (kHeight - 20))};
}

struct Result {
    std::string name;
    std::vector<double> latenciesMs;
    double movesPerSecond = 0;
    std::string skipped;
};

// `waitFor(x, y)` blocks until the observer saw the pointer arrive there (false on timeout).
Result measure(const std::string& name, platform::InputBackend& backend,
               const std::function<bool(int, int)>& waitFor, int samples, int burst) {
    Result r{name, {}, 0, {}};
    // Warm up: the observer binds the devices and gets the pointer.
    backend.movePointerTo({5, 5});
    backend.sync();
    waitFor(5, 5);
    for (int i = 0; i < samples; ++i) {
        const auto p = position(i);
        const auto t0 = Clock::now();
        backend.movePointerTo(p);
        backend.flush();
        if (!waitFor(int(p.x), int(p.y))) {
            r.skipped = "a move never arrived";
            return r;
        }
        r.latenciesMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    const auto t0 = Clock::now();
    for (int i = 0; i < burst; ++i) {
        backend.movePointerTo(position(i + 1));
        if (i % 32 == 31) {
            backend.flush();
        }
    }
    backend.sync();
    r.movesPerSecond = burst / std::chrono::duration<double>(Clock::now() - t0).count();
    return r;
}

template <typename Make> Result guarded(const std::string& name, Make make) {
    try {
        return make();
    } catch (const std::exception& e) {
        return Result{name, {}, 0, e.what()};
    }
}

Result waylandRun(const std::string& name, const std::string& display,
                  const std::function<std::unique_ptr<platform::InputBackend>(
                      std::shared_ptr<platform::WaylandDisplayGeometry>)>& makeBackend,
                  int samples, int burst) {
    auto geometry = std::make_shared<platform::WaylandDisplayGeometry>(display);
    auto backend = makeBackend(geometry);
    if (!backend->permission().permitted) {
        return Result{name, {}, 0, backend->permission().reason};
    }
    testing::WaylandInputObserver observer(display);
    return measure(
        name, *backend,
        [&](int x, int y) {
            observer.waitFor(
                [&](const auto&) {
                    return observer.pointerInside() && int(observer.pointerX()) == x &&
                           int(observer.pointerY()) == y;
                },
                2s);
            observer.clear();
            return int(observer.pointerX()) == x && int(observer.pointerY()) == y;
        },
        samples, burst);
}

} // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    const int burst = samples * 20;
    std::vector<Result> results;

    results.push_back(guarded("x11 (Xvfb, XTest)", [&] {
        testing::XvfbServer x({.width = kWidth, .height = kHeight});
        auto geometry = std::make_shared<platform::X11DisplayGeometry>(x.display());
        platform::X11InputBackend backend({.display = x.display(), .geometry = geometry});
        testing::XInputObserver observer(x.display());
        return measure(
            "x11 (Xvfb, XTest)", backend,
            [&](int px, int py) {
                const auto seen = observer.waitFor(
                    [&](const auto& recs) {
                        return std::any_of(recs.begin(), recs.end(), [&](const auto& r) {
                            return r.kind == testing::XInputObserver::Record::motion && r.x == px &&
                                   r.y == py;
                        });
                    },
                    2s);
                observer.clear();
                return std::any_of(seen.begin(), seen.end(),
                                   [&](const auto& r) { return r.x == px && r.y == py; });
            },
            samples, burst);
    }));

    results.push_back(guarded("wlroots (Sway 1.7 headless)", [&] {
        testing::SwayServer sway({.outputs = {{"", 0, 0, kWidth, kHeight, 1}}});
        return waylandRun(
            "wlroots (Sway 1.7 headless)", sway.display(),
            [&](auto geometry) {
                return std::make_unique<platform::WlrootsInputBackend>(
                    platform::WlrootsInputBackend::Options{.display = sway.display(),
                                                           .geometry = geometry});
            },
            samples, burst);
    }));

    results.push_back(guarded("kde (KWin 5.27 --virtual)", [&] {
        testing::KwinServer kwin({.width = kWidth, .height = kHeight});
        return waylandRun(
            "kde (KWin 5.27 --virtual)", kwin.display(),
            [&](auto geometry) {
                return std::make_unique<platform::KdeFakeInputBackend>(
                    platform::KdeFakeInputBackend::Options{.display = kwin.display(),
                                                           .geometry = geometry,
                                                           .busAddress = kwin.busAddress()});
            },
            samples, burst);
    }));

    results.push_back(guarded("gnome (GNOME Shell 43 headless)", [&] {
        testing::GnomeShellServer shell({.width = kWidth, .height = kHeight});
        return waylandRun(
            "gnome (GNOME Shell 43 headless)", shell.display(),
            [&](auto geometry) {
                auto backend = std::make_unique<platform::GnomeRemoteDesktopBackend>(
                    platform::GnomeRemoteDesktopBackend::Options{.busAddress = shell.busAddress(),
                                                                 .waylandDisplay = shell.display(),
                                                                 .geometry = geometry});
                // The shell starts in its overview, above the observer's window.
                backend->key(1, true); // KEY_ESC
                backend->key(1, false);
                backend->sync();
                return backend;
            },
            samples, burst);
    }));

    std::printf("move -> observer, %d samples each; burst of %d moves\n", samples, burst);
    std::printf("%-30s %12s %12s %14s\n", "backend", "median ms", "p90 ms", "moves/s");
    for (const auto& r : results) {
        if (!r.skipped.empty()) {
            std::printf("%-30s skipped: %s\n", r.name.c_str(), r.skipped.c_str());
            continue;
        }
        std::printf("%-30s %12.3f %12.3f %14.0f\n", r.name.c_str(), percentile(r.latenciesMs, 0.5),
                    percentile(r.latenciesMs, 0.9), r.movesPerSecond);
    }
    return 0;
}
