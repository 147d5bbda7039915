// What one pointer move costs the host from the socket read to the backend call: mutex
// acquisitions and heap allocations made by the thread that reads the tablet's connection
// (the transport queue "quillon-net": the read, TLS, decoding, routing, the injector), counted
// per move, into a backend that only counts (the X11 backend's own cost is Xlib's). The tablet
// stand-in is a process of its own, so nothing it does is counted.
//
// Two lock figures: "read->call" counts from the socket read (the receive calls are interposed
// here) to the backend call, and for the further moves of one read from the previous backend
// call to this one; "thread" counts everything the thread does per move, the event loop's wait
// for the socket and its re-arming after the read included.
//
//   lone:  each move its own TLS record, sent 0.5 ms apart, so every read carries one move;
//   burst: 1000 moves back to back (reads carry many; their costs are shared).
//
//   InputPathBench [moves]     (default 2000)
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Input/InputBackend.hpp"
#include "Quillon/App/HostCore.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "WireProtocol/WireClient.hpp"
#include "bench/BenchHost.hpp"

#include "bench/LockCounter.hpp"
#include "tests/support/AllocationHook.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
std::atomic<std::uint64_t> gAllocations{0};
std::atomic<pid_t> gCountedThread{0}; // 0: nobody's allocations are counted yet

pid_t currentThread() {
    static thread_local const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    return tid;
}

void countAllocation() {
    const pid_t counted = gCountedThread.load(std::memory_order_relaxed);
    if (counted != 0 && counted == currentThread()) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
}
// Locks on the counted thread at its last socket read or backend call, and those between a read
// (or the previous call) and a backend call, summed. Only the counted thread touches these.
std::uint64_t gSegmentStart = 0;
std::atomic<std::uint64_t> gPathLocks{0};

void markRead() {
    const pid_t counted = benchlocks::onlyThread.load(std::memory_order_relaxed);
    if (counted != 0 && counted == currentThread()) {
        gSegmentStart = benchlocks::acquisitions.load(std::memory_order_relaxed);
    }
}

void markBackendCall() {
    const pid_t counted = benchlocks::onlyThread.load(std::memory_order_relaxed);
    if (counted != 0 && counted == currentThread()) {
        const std::uint64_t now = benchlocks::acquisitions.load(std::memory_order_relaxed);
        gPathLocks.fetch_add(now - gSegmentStart, std::memory_order_relaxed);
        gSegmentStart = now;
    }
}

using RecvFn = ssize_t (*)(int, void*, std::size_t, int);
using RecvmsgFn = ssize_t (*)(int, msghdr*, int);
// Resolved before any thread runs (main), so the interposers never resolve while counting.
RecvFn gRealRecv = nullptr;
RecvmsgFn gRealRecvmsg = nullptr;
} // namespace

// The transport reads the socket through asio, which calls recv() or recvmsg(); a peek is not a
// read. Defined under the symbols' own names (the fortified headers make recv an inline
// function of their own).
extern "C" ssize_t benchRecv(int fd, void* buffer, std::size_t length, int flags) __asm__("recv");
extern "C" ssize_t benchRecvmsg(int fd, msghdr* message, int flags) __asm__("recvmsg");
extern "C" ssize_t benchRecv(int fd, void* buffer, std::size_t length, int flags) {
    if ((flags & MSG_PEEK) == 0) {
        markRead();
    }
    return gRealRecv(fd, buffer, length, flags);
}
extern "C" ssize_t benchRecvmsg(int fd, msghdr* message, int flags) {
    if ((flags & MSG_PEEK) == 0) {
        markRead();
    }
    return gRealRecvmsg(fd, message, flags);
}

void quillon::testing::onAllocation(std::size_t) {
    countAllocation();
}

namespace {

using namespace quillon;
using namespace std::chrono_literals;
namespace cm = wire::cm;

class CountingBackend : public platform::InputBackend {
public:
    std::string_view name() const override { return "counting"; }
    platform::InputPermission permission() const override { return {true, {}}; }
    std::uint64_t connections() const override { return 1; }
    void movePointerTo(platform::Point) override {
        markBackendCall();
        moves.fetch_add(1);
    }
    void movePointerBy(double, double) override {
        markBackendCall();
        moves.fetch_add(1);
    }
    void button(int, bool) override {}
    void key(int, bool) override {}
    void typeText(std::u32string_view) override {}
    void wheel(int, int) override {}
    std::optional<platform::KeyPlace> keyForKeysym(std::uint32_t) override { return {}; }
    bool desktopAction(platform::DesktopAction) override { return true; }
    void flush() override {}
    std::atomic<std::uint64_t> moves{0};
};

// The thread id of this process's thread named `name`, or 0.
pid_t threadNamed(const std::string& name) {
    DIR* d = ::opendir("/proc/self/task");
    pid_t found = 0;
    while (dirent* e = d != nullptr ? ::readdir(d) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string n;
        std::getline(comm, n);
        if (n == name) {
            found = static_cast<pid_t>(std::atoi(e->d_name));
        }
    }
    if (d != nullptr) {
        ::closedir(d);
    }
    return found;
}

void writeLine(int fd, const std::string& line) {
    const std::string l = line + "\n";
    [[maybe_unused]] const auto n = ::write(fd, l.data(), l.size());
}

std::string readLine(int fd) {
    std::string out;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n') {
        out += c;
    }
    return out;
}

// The tablet stand-in's process: connects when told the port and key, says hello, then sends
// moves as told ("lone N", "burst N") and answers "sent" after each order.
[[noreturn]] void tablet(int in, int out, const PairedDevice& device) {
    const std::string port = readLine(in);
    const std::string keyHex = readLine(in);
    wire::SymmetricKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(std::stoi(keyHex.substr(2 * i, 2), nullptr, 16));
    }
    auto client =
        wire::WireClient::connect("127.0.0.1", static_cast<std::uint16_t>(std::stoi(port)), key,
                                  wire::ServiceConstants::sessionIdentity);
    client->send(cm::Hello{device.deviceID, device.token, device.deviceName, 2});
    client->receive(5s);
    writeLine(out, "ready");
    for (;;) {
        const std::string order = readLine(in);
        if (order.empty() || order == "quit") {
            break;
        }
        const bool lone = order.rfind("lone", 0) == 0;
        const int n = std::atoi(order.substr(order.find(' ') + 1).c_str());
        for (int i = 0; i < n; ++i) {
            client->send(cm::PointerAbsolute{static_cast<float>(i % 100) / 100, 0.5f, 0});
            if (lone) {
                std::this_thread::sleep_for(500us);
            }
        }
        writeLine(out, "sent");
    }
    std::_Exit(0);
}

} // namespace

int main(int argc, char** argv) {
    const int moves = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;
    gRealRecv = reinterpret_cast<RecvFn>(::dlsym(RTLD_NEXT, "recv"));
    gRealRecvmsg = reinterpret_cast<RecvmsgFn>(::dlsym(RTLD_NEXT, "recvmsg"));
    if (gRealRecv == nullptr || gRealRecvmsg == nullptr) {
        return 1;
    }
    const PairedDevice device{"B3E2A4F0-0000-4000-8000-000000000002", "Bench iPad",
                              wire::PSKProvider::randomBytes(32), 0, std::nullopt};
    // The tablet is forked before any thread exists.
    int toTablet[2], fromTablet[2];
    if (::pipe(toTablet) != 0 || ::pipe(fromTablet) != 0) {
        return 1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(toTablet[1]);
        ::close(fromTablet[0]);
        tablet(toTablet[0], fromTablet[1], device);
    }
    ::close(toTablet[0]);
    ::close(fromTablet[1]);

    const auto home =
        std::filesystem::temp_directory_path() / ("input-path-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(home);
    ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    {
        auto mainQueue = std::make_shared<platform::IoContextMainQueue>();
        platform::Defaults defaults(home / "defaults.json");
        auto store = std::make_shared<InMemoryPairingStore>();
        store->save(device);
        auto backend = std::make_shared<CountingBackend>();
        auto geometry =
            std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 1920, 1080}, 1.0);
        auto host =
            bench::assembleBenchHost(mainQueue, defaults, store, backend, geometry, nullptr);
        auto coordinator = host.core->sharedCoordinator();
        coordinator->start();
        std::thread mainThread([&] { mainQueue->run(); });

        const auto key = wire::PSKProvider::sessionKey(store->hostSecret());
        std::string keyHex;
        for (const auto b : key) {
            char h[3];
            std::snprintf(h, sizeof h, "%02x", b);
            keyHex += h;
        }
        writeLine(toTablet[1], std::to_string(*coordinator->server().mainPort()));
        writeLine(toTablet[1], keyHex);
        readLine(fromTablet[0]); // connected and admitted
        // The admission's own work (log lines, the published state) finishes after the helloAck.
        std::this_thread::sleep_for(200ms);
        const pid_t transport = threadNamed("quillon-net");
        // A burst before counting: the buffers that grow to the largest read (the decoder's, the
        // burst's list of messages) and the statistics line's translation are in place after it.
        {
            const std::uint64_t seen = backend->moves.load();
            writeLine(toTablet[1], "burst " + std::to_string(moves));
            readLine(fromTablet[0]);
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (backend->moves.load() < seen + static_cast<std::uint64_t>(moves) &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
        }

        std::printf("one pointer move on the reading thread (quillon-net), socket read to backend "
                    "call, %d moves\n",
                    moves);
        std::printf("%-8s %16s %16s %14s %12s\n", "", "locks/move", "locks/move", "allocs/move",
                    "moves seen");
        std::printf("%-8s %16s %16s %14s\n", "", "read->call", "thread", "thread");
        for (const char* mode : {"lone", "burst", "lone", "burst"}) {
            const std::uint64_t seen = backend->moves.load();
            benchlocks::onlyThread.store(transport);
            gCountedThread.store(transport);
            const std::uint64_t locks = benchlocks::acquisitions.load();
            const std::uint64_t pathLocks = gPathLocks.load();
            const std::uint64_t allocs = gAllocations.load();
            writeLine(toTablet[1], std::string(mode) + " " + std::to_string(moves));
            readLine(fromTablet[0]);
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (backend->moves.load() < seen + static_cast<std::uint64_t>(moves) &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            const double n = static_cast<double>(backend->moves.load() - seen);
            std::printf("%-8s %16.2f %16.2f %14.2f %12.0f\n", mode,
                        static_cast<double>(gPathLocks.load() - pathLocks) / n,
                        static_cast<double>(benchlocks::acquisitions.load() - locks) / n,
                        static_cast<double>(gAllocations.load() - allocs) / n, n);
        }
        gCountedThread.store(0);
        benchlocks::onlyThread.store(0);

        writeLine(toTablet[1], "quit");
        ::waitpid(child, nullptr, 0);
        mainQueue->post([&] { coordinator->stop(); });
        mainQueue->post([&] { mainQueue->stop(); });
        mainThread.join();
    }
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
