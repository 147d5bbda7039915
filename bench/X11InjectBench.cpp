// Pointer moves into a private Xvfb: the host's whole input path (EventInjector ->
// X11InputBackend) beside a bare loop
// of XTestFakeMotionEvent + XFlush, in the same run. Prints events per second, the ratio, mutex
// acquisitions per move, and the median time from handing over a move to the motion reaching
// another client.
//
//   X11InjectBench [moves]      (default 100000)
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/X11InputBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include "bench/LockCounter.hpp"

#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace quillon;
namespace cm = wire::cm;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int moves = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100000;
    constexpr int kLatencySamples = 2000;
    constexpr int kBatch = 32; // messages per received-frame drain in the batched run

    testing::XvfbServer server({.width = kWidth, .height = kHeight});
    const auto home =
        std::filesystem::temp_directory_path() / ("x11-inject-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(home);
    platform::Defaults defaults(home / "defaults.json");

    auto geometry = std::make_shared<platform::X11DisplayGeometry>(server.display());
    platform::X11InputBackend::Options o;
    o.display = server.display();
    o.geometry = geometry;
    auto backend = std::make_shared<platform::X11InputBackend>(o);
    auto timers = std::make_shared<platform::SerialQueue>("quillon-momentum");
    auto injectorOwner = EventInjector::create(
        {.backend = backend, .geometry = geometry, .defaults = defaults, .scheduler = timers});
    EventInjector& injector = *injectorOwner;
    testing::XInputObserver watcher(server.display());

    Display* bare = XOpenDisplay(server.display().c_str());
    // Positions walk the screen so every move changes the pointer.
    const auto pos = [](int i, int& x, int& y) {
        x = 10 + (i * 7) % (kWidth - 20);
        y = 10 + (i * 3) % (kHeight - 20);
    };
    const auto absolute = [&](int i) {
        int x = 0, y = 0;
        pos(i, x, y);
        return cm::PointerAbsolute{static_cast<float>(x) / kWidth, static_cast<float>(y) / kHeight,
                                   0};
    };

    // Throughput. Each run ends with a round trip, so the server has taken every move.
    const auto bareRun = [&] {
        const auto t0 = Clock::now();
        for (int i = 0; i < moves; ++i) {
            int x = 0, y = 0;
            pos(i, x, y);
            XTestFakeMotionEvent(bare, -1, x, y, CurrentTime);
            XFlush(bare);
        }
        XSync(bare, False);
        return moves / seconds(Clock::now() - t0);
    };
    double locksPerMove = 0, locksPerBatchedMove = 0;
    const auto hostRun = [&](bool batched) {
        const std::uint64_t locksBefore = benchlocks::acquisitions.load();
        const auto t0 = Clock::now();
        for (int i = 0; i < moves;) {
            if (batched) {
                for (int k = 0; k < kBatch && i < moves; ++k, ++i) {
                    injector.handle(absolute(i), k + 1 == kBatch || i + 1 == moves
                                                     ? EventInjector::Flush::now
                                                     : EventInjector::Flush::later);
                }
            } else {
                injector.handle(absolute(i));
                ++i;
            }
        }
        (batched ? locksPerBatchedMove : locksPerMove) =
            static_cast<double>(benchlocks::acquisitions.load() - locksBefore) / moves;
        backend->sync();
        return moves / seconds(Clock::now() - t0);
    };
    // Warm up both paths, then interleave so machine load hits them alike.
    bareRun();
    hostRun(false);
    watcher.drain();
    double bareRate = 0, hostRate = 0, batchedRate = 0;
    for (int round = 0; round < 2; ++round) {
        bareRate = std::max(bareRate, bareRun());
        hostRate = std::max(hostRate, hostRun(false));
        batchedRate = std::max(batchedRate, hostRun(true));
        watcher.drain();
    }

    // Latency: hand over one move, wait until the watcher sees it.
    std::vector<double> bareLat, hostLat;
    for (int i = 0; i < kLatencySamples; ++i) {
        int x = 0, y = 0;
        pos(i * 13 + 1, x, y);
        auto t0 = Clock::now();
        XTestFakeMotionEvent(bare, -1, x, y, CurrentTime);
        XFlush(bare);
        watcher.waitForMotion(x, y);
        bareLat.push_back(seconds(Clock::now() - t0) * 1e6);

        pos(i * 13 + 7, x, y);
        t0 = Clock::now();
        injector.handle(absolute(i * 13 + 7));
        watcher.waitForMotion(x, y);
        hostLat.push_back(seconds(Clock::now() - t0) * 1e6);
    }

    std::printf("X11 pointer moves into Xvfb %s, %d moves per run (best of 2)\n",
                server.display().c_str(), moves);
    std::printf("  bare XTestFakeMotionEvent + XFlush      %10.0f events/s\n", bareRate);
    std::printf("  injector + X11 backend, flush each      %10.0f events/s  ratio %.2f\n", hostRate,
                hostRate / bareRate);
    std::printf("  injector + X11 backend, %d per batch    %10.0f events/s  ratio %.2f\n", kBatch,
                batchedRate, batchedRate / bareRate);
    std::printf("Mutex acquisitions per move: %.2f flushing each, %.2f in batches of %d\n",
                locksPerMove, locksPerBatchedMove, kBatch);
    std::printf("Median time to the motion reaching another client (%d samples)\n",
                kLatencySamples);
    std::printf("  bare                                    %10.1f us\n", median(bareLat));
    std::printf("  injector + X11 backend                  %10.1f us\n", median(hostLat));

    XCloseDisplay(bare);
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
