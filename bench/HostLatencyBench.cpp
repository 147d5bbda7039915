// The whole host on the network path: a client on loopback sends pointer moves over TLS to a
// running HostCoordinator (transport server, immediate input path, injector, sink, X11 poster),
// and a second X client sees each move land in a private Xvfb. In the same run, a minimal
// reference host (TLS read with read-ahead, frame decode, XTestFakeMotionEvent, one XFlush
// whenever a read leaves nothing pending, nothing else) serves the same client the same moves.
// Prints p50/p99 latency hot and paced at 120 Hz, a 1000-frame burst's drain time, and the
// ratios; then the host's CPU use while paired and idle. On a loaded machine the p99 figures
// move by several times between runs: compare them over a few runs.
//
//   HostLatencyBench [samples]      (default 2000)
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/EventStream/X11EventPoster.hpp"
#include "Platform/Session/SessionLockSource.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Input/CGEventSink.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/PSKParameters.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "WireProtocol/WireClient.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
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

struct Xvfb {
    pid_t pid = -1;
    std::string display;

    Xvfb() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        fcntl(fds[1], F_SETFD, 0);
        const std::string fd = std::to_string(fds[1]);
        const std::string screen = std::to_string(kWidth) + "x" + std::to_string(kHeight) + "x24";
        std::vector<std::string> args = {"Xvfb", "-displayfd", fd,  "-noreset", "-nolisten",
                                         "tcp",  "-screen",    "0", screen};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (number.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
            char buf[16];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            number.append(buf, static_cast<std::size_t>(n));
        }
        close(fds[0]);
        if (!number.empty()) {
            display = ":" + number.substr(0, number.find('\n'));
        }
    }
    ~Xvfb() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// The second X client: a window over the whole screen that receives every motion.
struct Watcher {
    Display* dpy;
    Window win;

    explicit Watcher(const std::string& display) : dpy(XOpenDisplay(display.c_str())) {
        XSetWindowAttributes a{};
        a.override_redirect = True;
        a.event_mask = PointerMotionMask | StructureNotifyMask;
        win = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, kWidth, kHeight, 0, CopyFromParent,
                            InputOnly, CopyFromParent, CWOverrideRedirect | CWEventMask, &a);
        XMapWindow(dpy, win);
        XEvent ev;
        do {
            XWindowEvent(dpy, win, StructureNotifyMask, &ev);
        } while (ev.type != MapNotify);
    }
    ~Watcher() { XCloseDisplay(dpy); }

    // Blocks until a motion to (x, y) arrives; false after 2 s without it.
    bool waitForMotion(int x, int y) {
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        for (;;) {
            while (XPending(dpy) > 0) {
                XEvent ev;
                XNextEvent(dpy, &ev);
                if (ev.type == MotionNotify && ev.xmotion.x_root == x && ev.xmotion.y_root == y) {
                    return true;
                }
            }
            if (Clock::now() > deadline) {
                return false;
            }
            pollfd p{ConnectionNumber(dpy), POLLIN, 0};
            poll(&p, 1, 100);
        }
    }
    void drain() {
        XSync(dpy, False);
        while (XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
        }
    }
};

// The reference: one TLS connection, frames decoded, absolute moves faked, nothing else.
class ReferenceHost {
public:
    ReferenceHost(const std::string& display, const wire::SymmetricKey& key)
        : ctx_(wire::PSKParameters::make(key, wire::ServiceConstants::sessionIdentity,
                                         wire::PSKParameters::Role::server)),
          dpy_(XOpenDisplay(display.c_str())) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listen_, 4);
        socklen_t len = sizeof addr;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ReferenceHost() {
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
        XCloseDisplay(dpy_);
    }
    std::uint16_t port() const { return port_; }

private:
    void serve() {
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        wire::PSKParameters::configureSocket(fd);
        SSL* ssl = SSL_new(ctx_.get());
        SSL_set_fd(ssl, fd);
        // Read ahead: one receive takes whatever the socket holds, so SSL_has_pending tells
        // whether more records of the same burst are already here.
        SSL_set_read_ahead(ssl, 1);
        if (SSL_accept(ssl) == 1) {
            wire::FrameDecoder decoder;
            unsigned char buf[65536];
            for (;;) {
                const int n = SSL_read(ssl, buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                decoder.append(wire::ByteView(buf, static_cast<std::size_t>(n)));
                while (auto frame = decoder.nextFrameView()) {
                    const auto message = wire::ControlMessage::decode(*frame);
                    if (const auto* m = message.getIf<cm::PointerAbsolute>()) {
                        XTestFakeMotionEvent(dpy_, -1, static_cast<int>(m->x * kWidth + 0.5f),
                                             static_cast<int>(m->y * kHeight + 0.5f), CurrentTime);
                    }
                }
                // A careful host flushes once per burst: only when no decrypted or received
                // bytes wait for the next SSL_read.
                if (SSL_has_pending(ssl) == 0) {
                    XFlush(dpy_);
                }
            }
        }
        SSL_free(ssl);
        ::close(fd);
    }

    wire::SSLContextPtr ctx_;
    Display* dpy_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// Raw samples of one side, gathered over several rounds.
struct Samples {
    std::vector<double> hot, paced, burstMs;
    int lost = 0;
};

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

// `idle`, the other side's client, hears a heartbeat now and then: the host closes a session
// that stays silent for 3 s, as it would a tablet that went away.
void measure(wire::WireClient& client, Watcher& watcher, int samples, int& counter, Samples& f,
             wire::WireClient* idle = nullptr) {
    const auto one = [&](std::vector<double>& out) {
        const int i = counter++;
        if (idle != nullptr && i % 100 == 0) {
            idle->send(cm::Heartbeat{});
        }
        int x = 0, y = 0;
        position(i, x, y);
        const auto t0 = Clock::now();
        client.send(move(i));
        if (watcher.waitForMotion(x, y)) {
            out.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        } else {
            ++f.lost;
        }
    };
    auto& hot = f.hot;
    auto& paced = f.paced;
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
    // Burst: 1000 moves back to back; drained when the last one is seen.
    const int first = counter;
    counter += 1000;
    int lx = 0, ly = 0;
    position(first + 999, lx, ly);
    const auto t0 = Clock::now();
    for (int i = first; i < first + 1000; ++i) {
        client.send(move(i));
    }
    watcher.waitForMotion(lx, ly);
    f.burstMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    watcher.drain();
}

Figures summarise(const Samples& s) {
    Figures f;
    f.hotP50 = percentile(s.hot, 0.50);
    f.hotP99 = percentile(s.hot, 0.99);
    f.pacedP50 = percentile(s.paced, 0.50);
    f.pacedP99 = percentile(s.paced, 0.99);
    f.burstMs = percentile(s.burstMs, 0.50);
    f.lost = s.lost;
    return f;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    Xvfb server;
    if (server.display.empty()) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    const auto home =
        std::filesystem::temp_directory_path() / ("host-latency-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(home);
    ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1); // the host's diagnostics log
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");

    // The host, in this process: the main queue runs on a thread of its own.
    auto mainQueue = std::make_shared<platform::IoContextMainQueue>();
    auto store = std::make_shared<InMemoryPairingStore>();
    const PairedDevice device{"B3E2A4F0-0000-4000-8000-000000000001", "Bench iPad",
                              wire::PSKProvider::randomBytes(32), 0, std::nullopt};
    store->save(device);
    auto geometry = std::make_shared<platform::X11DisplayGeometry>(server.display);
    platform::X11EventPoster::Options o;
    o.display = server.display;
    o.geometry = geometry;
    o.settings = [] { return platform::InputSettings{}; };
    auto poster = std::make_shared<platform::X11EventPoster>(o);
    platform::Defaults defaults(home / "config" / "defaults.json");
    auto sink = std::make_shared<CGEventSink>(poster, geometry, nullptr, defaults);
    auto injector = std::make_shared<EventInjector>(sink, GestureMapper::defaultMapper(), defaults);
    HostCoordinator::Options options;
    options.server.display = geometry;
    options.advertise = false;
    auto coordinator =
        HostCoordinator::create(store, injector, false, nullptr,
                                {mainQueue, defaults, InputDiagnostics::toDiagLog(defaults),
                                 nullptr, platform::makeDBusSessionLockSource()},
                                options);
    coordinator->start();
    std::thread mainThread([&] { mainQueue->run(); });
    const auto sessionKey = wire::PSKProvider::sessionKey(store->hostSecret());
    Watcher watcher(server.display);
    int counter = 0;

    // Idle: paired, nothing connected.
    const double idleSeconds = 5.0;
    const double cpu0 = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double idleCpu = cpuSeconds() - cpu0;

    // The two sides take turns, in alternating order, so drift in the machine's load falls on
    // both alike instead of on whichever ran second.
    const int rounds = 6;
    Samples hostSamples, referenceSamples;
    {
        auto hostClient =
            wire::WireClient::connect("127.0.0.1", *coordinator->server().mainPort(), sessionKey,
                                      wire::ServiceConstants::sessionIdentity);
        hostClient->send(cm::Hello{device.deviceID, device.token, device.deviceName, 2});
        hostClient->receive(std::chrono::seconds(5)); // helloAck
        ReferenceHost ref(server.display, sessionKey);
        auto refClient = wire::WireClient::connect("127.0.0.1", ref.port(), sessionKey,
                                                   wire::ServiceConstants::sessionIdentity);
        Samples warmUp;
        measure(*hostClient, watcher, std::min(samples, 200), counter, warmUp, refClient.get());
        measure(*refClient, watcher, std::min(samples, 200), counter, warmUp, hostClient.get());
        const int perRound = std::max(10, samples / rounds);
        for (int r = 0; r < rounds; ++r) {
            if (r % 2 == 0) {
                measure(*hostClient, watcher, perRound, counter, hostSamples, refClient.get());
                measure(*refClient, watcher, perRound, counter, referenceSamples, hostClient.get());
            } else {
                measure(*refClient, watcher, perRound, counter, referenceSamples, hostClient.get());
                measure(*hostClient, watcher, perRound, counter, hostSamples, refClient.get());
            }
        }
    }
    const Figures host = summarise(hostSamples);
    const Figures reference = summarise(referenceSamples);

    std::printf("Pointer moves over TLS on loopback into Xvfb %s, %d samples per series in %d "
                "alternating rounds; burst = median of %d\n",
                server.display.c_str(), samples, rounds, rounds);
    std::printf("%-28s %12s %12s %8s\n", "", "host", "reference", "ratio");
    const auto row = [](const char* name, double h, double r, const char* unit) {
        std::printf("%-28s %9.1f %s %9.1f %s %8.2f\n", name, h, unit, r, unit, r > 0 ? h / r : 0);
    };
    row("hot p50", host.hotP50, reference.hotP50, "us");
    row("hot p99", host.hotP99, reference.hotP99, "us");
    row("paced 120 Hz p50", host.pacedP50, reference.pacedP50, "us");
    row("paced 120 Hz p99", host.pacedP99, reference.pacedP99, "us");
    row("1000-frame burst drain", host.burstMs, reference.burstMs, "ms");
    std::printf("moves not seen within 2 s: host %d, reference %d\n", host.lost, reference.lost);
    std::printf("idle host (paired, nothing connected): %.3f s CPU in %.1f s (%.2f%%)\n", idleCpu,
                idleSeconds, idleCpu / idleSeconds * 100);

    mainQueue->post([&] { coordinator->stop(); });
    mainQueue->post([&] { mainQueue->stop(); });
    mainThread.join();
    coordinator.reset();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
