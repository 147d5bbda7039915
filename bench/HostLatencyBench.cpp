// The whole host on the network path, every party its own process: the host is the `quillon`
// executable (`--headless`, the release build by default) on a private Xvfb; the reference
// host (tests/support/ReferenceHost: TLS read with read-ahead, frame decode, XTest, one XFlush
// when a read leaves nothing pending) runs in a process of its own (this executable with
// --reference-host); this process is the tablet stand-in, writing each frame as its own TLS
// record, and another X client (tests/support/XInputObserver) watching the pointer land.
//
// Prints p50/p99 latency hot and paced at 120 Hz, a 1000-frame burst's drain time and the
// ratios host / reference, for each of `runs` runs (each run alternates the two sides over
// several rounds, so drift in the machine's load falls on both alike), then the median of the
// runs; and the host's CPU use while paired and idle.
//
//   HostLatencyBench [--host PATH] [--samples N] [--runs N]
//     PATH default: the release build's Quillon/quillon beside this source tree.
#include "Platform/Keychain/Keychain.hpp"
#include "Quillon/Pairing/KeychainPairingStore.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "WireProtocol/WireClient.hpp"

#include "tests/support/ChildProcess.hpp"
#include "tests/support/ReferenceHost.hpp"
#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace quillon;
using namespace std::chrono_literals;
namespace cm = wire::cm;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

std::string hex(const wire::SymmetricKey& key) {
    std::string out;
    char b[3];
    for (const auto byte : key) {
        std::snprintf(b, sizeof b, "%02x", byte);
        out += b;
    }
    return out;
}

wire::SymmetricKey unhex(const std::string& text) {
    wire::SymmetricKey key{};
    for (std::size_t i = 0; i < key.size() && 2 * i + 1 < text.size(); ++i) {
        key[i] = static_cast<std::uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
    }
    return key;
}

// The reference host's process: serves until stdin closes, its port on stdout.
int runReferenceHost(const std::string& display, const std::string& keyHex) {
    testing::ReferenceHost ref(display, unhex(keyHex), kWidth, kHeight);
    std::printf("port %u\n", ref.port());
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
}

// The TCP ports process `pid` listens on (its sockets in LISTEN state), from /proc.
std::set<unsigned> listeningPorts(pid_t pid) {
    std::set<std::string> inodes;
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = ::opendir(fdDir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            char target[256] = {};
            const std::string link = fdDir + "/" + e->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            const std::string t(target, n > 0 ? static_cast<std::size_t>(n) : 0);
            if (t.rfind("socket:[", 0) == 0) {
                inodes.insert(t.substr(8, t.size() - 9));
            }
        }
        ::closedir(d);
    }
    std::set<unsigned> ports;
    for (const char* table : {"/net/tcp", "/net/tcp6"}) {
        std::ifstream in("/proc/" + std::to_string(pid) + table);
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
            f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >>
                inode;
            if (state == "0A" && inodes.count(inode) != 0) { // 0A: LISTEN
                ports.insert(static_cast<unsigned>(
                    std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
            }
        }
    }
    return ports;
}

double processCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    std::istringstream f(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && f >> field; ++i) {
        if (i == 14 || i == 15) { // utime, stime
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

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
void measure(wire::WireClient& client, testing::XInputObserver& watcher, int samples, int& counter,
             Samples& f, wire::WireClient* idle) {
    const auto one = [&](std::vector<double>& out) {
        const int i = counter++;
        if (idle != nullptr && i % 100 == 0) {
            idle->send(cm::Heartbeat{});
        }
        int x = 0, y = 0;
        position(i, x, y);
        const auto t0 = Clock::now();
        client.send(move(i)); // one TLS record
        if (watcher.waitForMotion(x, y)) {
            out.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        } else {
            ++f.lost;
        }
    };
    for (int s = 0; s < samples; ++s) {
        one(f.hot);
    }
    const auto period = std::chrono::nanoseconds(1'000'000'000 / 120);
    auto next = Clock::now();
    for (int s = 0; s < samples; ++s) {
        next += period;
        one(f.paced);
        std::this_thread::sleep_until(next);
    }
    watcher.drain();
    if (idle != nullptr) {
        idle->send(cm::Heartbeat{});
    }
    // Burst: 1000 moves back to back, each its own record; drained when the last one is seen.
    const int first = counter;
    counter += 1000;
    int lx = 0, ly = 0;
    position(first + 999, lx, ly);
    const auto t0 = Clock::now();
    for (int i = first; i < first + 1000; ++i) {
        client.send(move(i));
    }
    watcher.waitForMotion(lx, ly, 10s);
    f.burstMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    watcher.drain();
}

Figures summarise(const Samples& s) {
    return {percentile(s.hot, 0.50),   percentile(s.hot, 0.99),    percentile(s.paced, 0.50),
            percentile(s.paced, 0.99), percentile(s.burstMs, 0.5), s.lost};
}

struct Row {
    const char* name;
    double Figures::*field;
    const char* unit;
};
constexpr Row kRows[] = {
    {"hot p50", &Figures::hotP50, "us"},
    {"hot p99", &Figures::hotP99, "us"},
    {"paced 120 Hz p50", &Figures::pacedP50, "us"},
    {"paced 120 Hz p99", &Figures::pacedP99, "us"},
    {"1000-frame burst drain", &Figures::burstMs, "ms"},
};

void printTable(const char* title, const Figures& host, const Figures& reference) {
    std::printf("%s\n%-26s %12s %12s %7s\n", title, "", "host", "reference", "ratio");
    for (const auto& r : kRows) {
        const double h = host.*r.field, ref = reference.*r.field;
        std::printf("%-26s %9.1f %s %9.1f %s %7.2f\n", r.name, h, r.unit, ref, r.unit,
                    ref > 0 ? h / ref : 0);
    }
    std::printf("moves not seen within 2 s: host %d, reference %d\n", host.lost, reference.lost);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--reference-host") {
        return runReferenceHost(argv[2], argv[3]);
    }
    std::string hostPath = QUILLON_SOURCE_DIR "/build/release/Quillon/quillon";
    int samples = 2000;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--host") {
            hostPath = argv[i + 1];
        } else if (flag == "--samples") {
            samples = std::max(10, std::atoi(argv[i + 1]));
        } else if (flag == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    if (::access(hostPath.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "no host executable at %s (build the release preset, or --host)\n",
                     hostPath.c_str());
        return 1;
    }
    testing::XvfbServer x({.width = kWidth, .height = kHeight});
    testing::TempDir dir;

    // A device paired beforehand: the keychain the host will read.
    const PairedDevice device{"B3E2A4F0-0000-4000-8000-000000000001", "Bench iPad",
                              wire::PSKProvider::randomBytes(32), 0, std::nullopt};
    wire::SymmetricKey sessionKey{};
    {
        auto keychain =
            std::make_shared<platform::Keychain>(dir.path() + "/data/corvane/keychain.sqlite3");
        KeychainPairingStore store(KeychainPairingStore::defaultService, keychain);
        store.save(device);
        sessionKey = wire::PSKProvider::sessionKey(store.hostSecret());
    }

    testing::ChildProcess::Options ho;
    ho.argv = {hostPath, "--headless"};
    ho.env["DISPLAY"] = x.display();
    ho.env["WAYLAND_DISPLAY"] = std::nullopt;
    ho.env["XDG_SESSION_TYPE"] = std::nullopt;
    ho.env["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
    ho.env["XDG_DATA_HOME"] = dir.path() + "/data";
    ho.env["XDG_CONFIG_HOME"] = dir.path() + "/config";
    ho.env["XDG_STATE_HOME"] = dir.path() + "/state";
    ho.env["XDG_CACHE_HOME"] = dir.path() + "/cache";
    ho.env["XDG_RUNTIME_DIR"] = dir.path() + "/run";
    ho.env["XDG_DATA_DIRS"] = dir.path() + "/system-data"; // no application list to build
    ho.outputFile = dir.path() + "/host.txt";
    ho.pipeStdin = true; // the console waits for commands; the host runs until SIGTERM
    std::filesystem::create_directories(dir.path() + "/run");
    testing::ChildProcess host(ho);
    std::set<unsigned> ports;
    testing::waitUntil(
        [&] {
            ports = listeningPorts(host.pid());
            return !ports.empty();
        },
        20s);
    if (ports.size() != 1) {
        std::fprintf(stderr, "the host listens on %zu ports, not one:\n%s\n", ports.size(),
                     host.output().c_str());
        return 1;
    }

    char self[4096] = {};
    ::readlink("/proc/self/exe", self, sizeof self - 1);
    testing::ChildProcess::Options ro;
    ro.argv = {self, "--reference-host", x.display(), hex(sessionKey)};
    ro.outputFile = dir.path() + "/reference.txt";
    ro.pipeStdin = true;
    testing::ChildProcess reference(ro);
    unsigned refPort = 0;
    testing::waitUntil(
        [&] { return std::sscanf(reference.output().c_str(), "port %u", &refPort) == 1; }, 10s);

    testing::XInputObserver watcher(x.display());
    watcher.drain();

    // Idle: paired, nothing connected.
    const double idleSeconds = 5.0;
    const double cpu0 = processCpuSeconds(host.pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double idleCpu = processCpuSeconds(host.pid()) - cpu0;

    auto hostClient =
        wire::WireClient::connect("127.0.0.1", static_cast<std::uint16_t>(*ports.begin()),
                                  sessionKey, wire::ServiceConstants::sessionIdentity);
    hostClient->send(cm::Hello{device.deviceID, device.token, device.deviceName, 2});
    if (!hostClient->receive(5s)) {
        std::fprintf(stderr, "the host did not answer hello\n%s\n", host.output().c_str());
        return 1;
    }
    auto refClient = wire::WireClient::connect("127.0.0.1", static_cast<std::uint16_t>(refPort),
                                               sessionKey, wire::ServiceConstants::sessionIdentity);

    int counter = 0;
    Samples warmUp;
    measure(*hostClient, watcher, std::min(samples, 200), counter, warmUp, refClient.get());
    measure(*refClient, watcher, std::min(samples, 200), counter, warmUp, hostClient.get());

    std::printf("Pointer moves over TLS on loopback into Xvfb %s: the host (%s), the reference "
                "host and this tablet stand-in in separate processes; %d samples per series\n",
                x.display().c_str(), hostPath.c_str(), samples);
    constexpr int kRounds = 6;
    std::vector<Figures> hostRuns, refRuns;
    for (int run = 0; run < runs; ++run) {
        Samples hostSamples, referenceSamples;
        const int perRound = std::max(10, samples / kRounds);
        for (int r = 0; r < kRounds; ++r) {
            if (r % 2 == 0) {
                measure(*hostClient, watcher, perRound, counter, hostSamples, refClient.get());
                measure(*refClient, watcher, perRound, counter, referenceSamples, hostClient.get());
            } else {
                measure(*refClient, watcher, perRound, counter, referenceSamples, hostClient.get());
                measure(*hostClient, watcher, perRound, counter, hostSamples, refClient.get());
            }
        }
        hostRuns.push_back(summarise(hostSamples));
        refRuns.push_back(summarise(referenceSamples));
        char title[64];
        std::snprintf(title, sizeof title, "run %d (%d alternating rounds)", run + 1, kRounds);
        printTable(title, hostRuns.back(), refRuns.back());
    }
    if (runs > 1) {
        // The median run of each row's ratio, with the figures of that run.
        std::printf("median of %d runs\n%-26s %12s %12s %7s\n", runs, "", "host", "reference",
                    "ratio");
        for (const auto& r : kRows) {
            std::vector<std::pair<double, std::size_t>> ratios;
            for (std::size_t i = 0; i < hostRuns.size(); ++i) {
                const double ref = refRuns[i].*r.field;
                ratios.emplace_back(ref > 0 ? hostRuns[i].*r.field / ref : 0, i);
            }
            std::sort(ratios.begin(), ratios.end());
            const auto& [ratio, i] = ratios[ratios.size() / 2];
            std::printf("%-26s %9.1f %s %9.1f %s %7.2f\n", r.name, hostRuns[i].*r.field, r.unit,
                        refRuns[i].*r.field, r.unit, ratio);
        }
    }
    std::printf("idle host (paired, nothing connected): %.3f s CPU in %.1f s (%.2f%%)\n", idleCpu,
                idleSeconds, idleCpu / idleSeconds * 100);

    hostClient.reset();
    refClient.reset();
    ::kill(host.pid(), SIGTERM);
    host.wait(10s);
    reference.closeStdin();
    reference.wait(10s);
    return 0;
}
