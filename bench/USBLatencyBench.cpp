// Input latency on the two transports of one running host, in one run: pointer moves from a
// tablet stand-in to the X pointer seen by a second X client in a private Xvfb, once over the
// network (TLS on loopback into the transport server) and once over the cable (the usbmuxd
// stand-in relaying a loopback stream to the USB session, as the daemon relays the tablet's
// port). Prints p50/p99 hot and paced at 120 Hz and a 1000-move burst's drain time per path.
//
//   USBLatencyBench [samples]      (default 2000)
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/X11InputBackend.hpp"
#include "Platform/Session/SessionLockSource.hpp"
#include "Quillon/App/HostCore.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "WireProtocol/WireClient.hpp"
#include "bench/BenchHost.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/UsbmuxStandIn.hpp"

#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <X11/Xlib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace quillon;
namespace cm = wire::cm;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

struct Figures {
    double hotP50 = 0, hotP99 = 0, pacedP50 = 0, pacedP99 = 0, burstMs = 0;
    int lost = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

void position(int i, int& x, int& y) {
    x = 10 + (i * 7) % (kWidth - 20);
    y = 10 + (i * 3) % (kHeight - 20);
}

cm::PointerAbsolute move(int i) {
    int x = 0, y = 0;
    position(i, x, y);
    return {static_cast<float>(x) / kWidth, static_cast<float>(y) / kHeight, 0};
}

using Send = std::function<void(const wire::ControlMessage&)>;

Figures measure(const Send& send, testing::XInputObserver& watcher, int samples, int& counter) {
    Figures f;
    const auto one = [&](std::vector<double>& out) {
        const int i = counter++;
        int x = 0, y = 0;
        position(i, x, y);
        const auto t0 = Clock::now();
        send(move(i));
        if (watcher.waitForMotion(x, y)) {
            out.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        } else {
            ++f.lost;
        }
    };
    std::vector<double> hot, paced;
    for (int s = 0; s < samples; ++s) {
        one(hot);
    }
    const auto period = std::chrono::nanoseconds(1'000'000'000 / 120);
    auto next = Clock::now();
    for (int s = 0; s < samples; ++s) {
        next += period;
        one(paced);
        std::this_thread::sleep_until(next);
    }
    watcher.drain();
    const int first = counter;
    counter += 1000;
    int lx = 0, ly = 0;
    position(first + 999, lx, ly);
    const auto t0 = Clock::now();
    for (int i = first; i < first + 1000; ++i) {
        send(move(i));
    }
    watcher.waitForMotion(lx, ly);
    f.burstMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    f.hotP50 = percentile(hot, 0.50);
    f.hotP99 = percentile(hot, 0.99);
    f.pacedP50 = percentile(paced, 0.50);
    f.pacedP99 = percentile(paced, 0.99);
    watcher.drain();
    return f;
}

} // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    testing::XvfbServer server({.width = kWidth, .height = kHeight});
    const auto home =
        std::filesystem::temp_directory_path() / ("usb-latency-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(home);
    ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

    auto mainQueue = std::make_shared<platform::IoContextMainQueue>();
    auto store = std::make_shared<InMemoryPairingStore>();
    const PairedDevice device{"B3E2A4F0-0000-4000-8000-000000000001", "Bench iPad",
                              wire::PSKProvider::randomBytes(32), 0, std::nullopt};
    store->save(device);
    auto geometry = std::make_shared<platform::X11DisplayGeometry>(server.display());
    platform::X11InputBackend::Options o;
    o.display = server.display();
    o.geometry = geometry;
    auto backend = std::make_shared<platform::X11InputBackend>(o);
    platform::Defaults defaults(home / "config" / "defaults.json");

    testing::UsbmuxStandIn mux((home / "usbmuxd").string());
    HostOptions options;
    options.usb.mux.socketPath = mux.socketPath();
    auto host = bench::assembleBenchHost(
        mainQueue, defaults, store, backend, geometry,
        std::shared_ptr<platform::SessionLockSource>(platform::makeDBusSessionLockSource()),
        options);
    auto coordinator = host.core->sharedCoordinator();
    coordinator->start();
    std::thread mainThread([&] { mainQueue->run(); });
    testing::XInputObserver watcher(server.display());
    int counter = 0;
    const cm::Hello hello{device.deviceID, device.token, device.deviceName, 2};

    Figures wifi, usb;
    {
        const auto sessionKey = wire::PSKProvider::sessionKey(store->hostSecret());
        auto client =
            wire::WireClient::connect("127.0.0.1", *coordinator->server().mainPort(), sessionKey,
                                      wire::ServiceConstants::sessionIdentity);
        client->send(hello);
        client->receive(std::chrono::seconds(5)); // helloAck
        const Send send = [&](const wire::ControlMessage& m) { client->send(m); };
        measure(send, watcher, std::min(samples, 200), counter); // warm-up
        wifi = measure(send, watcher, samples, counter);
    }
    {
        testing::TabletListener tablet;
        mux.attach({1, "BENCH", "USB", tablet.port()});
        auto stream = tablet.accept(std::chrono::seconds(10));
        if (!stream) {
            std::fprintf(stderr, "the host did not connect over the cable\n");
            return 1;
        }
        const int noDelay = 1;
        ::setsockopt(stream->fd(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        stream->send(hello);
        stream->receive(std::chrono::seconds(5)); // helloAck
        const Send send = [&](const wire::ControlMessage& m) { stream->send(m); };
        measure(send, watcher, std::min(samples, 200), counter);
        usb = measure(send, watcher, samples, counter);
        mux.detach(1);
    }

    std::printf("Pointer moves into Xvfb %s through one host, %d samples per series\n",
                server.display().c_str(), samples);
    std::printf("%-28s %12s %12s %8s\n", "", "Wi-Fi (TLS)", "USB (relay)", "usb/wifi");
    const auto row = [](const char* name, double w, double u, const char* unit) {
        std::printf("%-28s %9.1f %s %9.1f %s %8.2f\n", name, w, unit, u, unit, w > 0 ? u / w : 0);
    };
    row("hot p50", wifi.hotP50, usb.hotP50, "us");
    row("hot p99", wifi.hotP99, usb.hotP99, "us");
    row("paced 120 Hz p50", wifi.pacedP50, usb.pacedP50, "us");
    row("paced 120 Hz p99", wifi.pacedP99, usb.pacedP99, "us");
    row("1000-move burst drain", wifi.burstMs, usb.burstMs, "ms");
    std::printf("moves not seen within 2 s: Wi-Fi %d, USB %d\n", wifi.lost, usb.lost);

    mainQueue->post([&] { coordinator->stop(); });
    mainQueue->post([&] { mainQueue->stop(); });
    mainThread.join();
    coordinator.reset();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
