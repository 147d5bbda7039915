// Pointer moves through the kernel (uinput) to a client of the session, measured inside the
// tests' virtual machine (this machine has no /dev/uinput): headless Sway reading the devices
// through libinput, then Xorg with the libinput driver. In each session, beside the uinput
// backend: a bare loop that writes absolute moves to a uinput device of its own (what the
// kernel, libinput and the server cost without Quillon), and the session's own interface
// (wlroots virtual pointer, XTest), the three taking turns move by move. Each line: the median and
// 90th percentile time from handing a move over to the observer window receiving it, and the median
// as a ratio to the bare loop of the same session in the same run (software emulation makes
// absolute times meaningless).
//
//   UinputInjectBench [samples]      (default 200)
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/UinputDevice.hpp"
#include "Platform/Input/UinputInputBackend.hpp"
#include "Platform/Input/UinputSession.hpp"
#include "Platform/Input/WlrootsInputBackend.hpp"
#include "Platform/Input/X11InputBackend.hpp"

#include "tests/support/ChildProcess.hpp"
#include "tests/support/VirtualMachine.hpp"
#include "tests/support/WaylandInputObserver.hpp"
#include "tests/support/XInputObserver.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace quillon;
using namespace std::chrono_literals;

constexpr int kWidth = 1280; // the guest sessions' screen (tests/vm/session.sh)
constexpr int kHeight = 720;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

platform::Point position(int i) {
    return {double(10 + (i * 7) % (kWidth - 20)), double(10 + (i * 3) % (kHeight - 20))};
}

struct Result {
    std::string name;
    std::vector<double> ms;
    std::string skipped;
};

struct Contender {
    std::string name;
    std::function<void(platform::Point)> move; // hands one move over (and flushes)
};

// The contenders take turns, one move each, so that they share the machine's moods (software
// emulation on a shared machine drifts over a run). `arrived(x, y)` waits until the observer
// saw the pointer there.
std::function<std::string()> lastSeen = [] { return std::string(); };

std::vector<Result> measure(const std::vector<Contender>& contenders, int samples,
                            const std::function<bool(int, int)>& arrived) {
    std::vector<Result> results;
    for (const auto& c : contenders) {
        results.push_back({c.name, {}, {}});
        c.move({5, 5});
        arrived(5, 5);
    }
    int step = 0;
    for (int i = 0; i < samples; ++i) {
        for (std::size_t k = 0; k < contenders.size(); ++k) {
            if (!results[k].skipped.empty()) {
                continue;
            }
            const auto p = position(step++);
            const auto t0 = Clock::now();
            contenders[k].move(p);
            if (!arrived(int(p.x), int(p.y))) {
                results[k].skipped = "a move to " + std::to_string(int(p.x)) + "," +
                                     std::to_string(int(p.y)) + " never arrived" + lastSeen();
                continue;
            }
            results[k].ms.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
    }
    return results;
}

bool sessionHasDevice(const std::string& session, const std::string& name) {
    testing::ChildProcess::Options o;
    o.argv = session == "sway" ? std::vector<std::string>{"swaymsg", "-t", "get_inputs", "-r"}
                               : std::vector<std::string>{"sh", "-c", "cat /tmp/xorg.log"};
    o.outputFile = "/tmp/bench-devices.txt";
    testing::ChildProcess p(o);
    p.wait(10s);
    return p.output().find(name) != std::string::npos;
}

// A uinput absolute pointer of its own, written directly: the floor under every uinput backend.
struct BareDevice {
    std::unique_ptr<platform::UinputDevice> device;
    explicit BareDevice(const std::string& session) {
        auto d = platform::UinputDevices::absolutePointer();
        d.name = "bare uinput pointer";
        d.product = 0x10;
        std::string error;
        device = platform::UinputDevice::create("/dev/uinput", d, error);
        if (!device) {
            throw std::runtime_error(error);
        }
        testing::waitUntil([&] { return sessionHasDevice(session, "bare uinput pointer"); }, 60s);
        std::this_thread::sleep_for(1s);
    }
    void move(platform::Point p) {
        const auto value = [](double v, double size) {
            return static_cast<std::int32_t>(
                std::ceil(v / size * platform::UinputDevices::kAbsoluteRange - 1e-6));
        };
        const platform::EvdevEvent events[] = {{EV_ABS, ABS_X, value(p.x, kWidth)},
                                               {EV_ABS, ABS_Y, value(p.y, kHeight)}};
        device->emit(events);
    }
};

void print(const std::string& session, const std::vector<Result>& results) {
    const double bare =
        results.empty() || results[0].ms.empty() ? 0 : percentile(results[0].ms, 0.5);
    std::printf("%s\n", session.c_str());
    std::printf("  %-34s %10s %10s %14s\n", "", "median ms", "p90 ms", "ratio to bare");
    for (const auto& r : results) {
        if (!r.skipped.empty()) {
            std::printf("  %-34s skipped: %s\n", r.name.c_str(), r.skipped.c_str());
            continue;
        }
        const double median = percentile(r.ms, 0.5);
        std::printf("  %-34s %10.3f %10.3f %14.2f\n", r.name.c_str(), median, percentile(r.ms, 0.9),
                    bare > 0 ? median / bare : 0.0);
    }
    std::fflush(stdout);
}

int guestSway(int samples) {
    const std::string display = std::getenv("WAYLAND_DISPLAY");
    std::vector<Result> results;
    auto geometry = std::make_shared<platform::WaylandDisplayGeometry>(display);
    BareDevice bare("sway");
    platform::UinputInputBackend uinput(platform::uinputForWayland(display, geometry));
    testing::waitUntil([] { return sessionHasDevice("sway", "Quillon absolute pointer"); }, 60s);
    platform::WlrootsInputBackend wlroots({.display = display, .geometry = geometry});
    testing::WaylandInputObserver observer(display);
    // Within a pixel: absolute devices land within a fraction of one.
    const auto at = [&](int x, int y) {
        return observer.pointerInside() && std::abs(observer.pointerX() - x) < 1 &&
               std::abs(observer.pointerY() - y) < 1;
    };
    lastSeen = [&] {
        return " (the pointer is at " + std::to_string(observer.pointerX()) + "," +
               std::to_string(observer.pointerY()) + ")";
    };
    const auto arrived = [&](int x, int y) {
        observer.waitFor([&](const auto&) { return at(x, y); }, 5s);
        observer.clear();
        return at(x, y);
    };
    // Sway 1.7 stops following the bare device once another absolute device has moved the
    // pointer, so the bare loop runs first, on its own.
    results =
        measure({{"bare uinput write loop", [&](auto p) { bare.move(p); }}}, samples, arrived);
    const auto rest = measure({{"uinput backend",
                                [&](auto p) {
                                    uinput.movePointerTo(p);
                                    uinput.flush();
                                }},
                               {"wlroots virtual pointer",
                                [&](auto p) {
                                    wlroots.movePointerTo(p);
                                    wlroots.flush();
                                }}},
                              samples, arrived);
    results.insert(results.end(), rest.begin(), rest.end());
    print("Sway 1.7 (libinput backend, seatd)", results);
    return 0;
}

int guestXorg(int samples) {
    std::vector<Result> results;
    auto geometry = std::make_shared<platform::X11DisplayGeometry>(std::string());
    BareDevice bare("xorg");
    platform::UinputInputBackend uinput(platform::uinputForX11({}, geometry));
    testing::waitUntil([] { return sessionHasDevice("xorg", "Quillon absolute pointer"); }, 60s);
    std::this_thread::sleep_for(1s);
    platform::X11InputBackend xtest({.geometry = geometry});
    testing::XInputObserver observer(std::getenv("DISPLAY"));
    const auto arrived = [&](int x, int y) {
        const auto seen = observer.waitFor(
            [&](const auto& recs) {
                return std::any_of(recs.begin(), recs.end(), [&](const auto& r) {
                    return r.kind == testing::XInputObserver::Record::motion &&
                           std::abs(r.x - x) <= 1 && std::abs(r.y - y) <= 1;
                });
            },
            5s);
        observer.clear();
        return std::any_of(seen.begin(), seen.end(), [&](const auto& r) {
            return std::abs(r.x - x) <= 1 && std::abs(r.y - y) <= 1;
        });
    };
    results = measure({{"bare uinput write loop", [&](auto p) { bare.move(p); }},
                       {"uinput backend",
                        [&](auto p) {
                            uinput.movePointerTo(p);
                            uinput.flush();
                        }},
                       {"XTest",
                        [&](auto p) {
                            xtest.movePointerTo(p);
                            xtest.flush();
                        }}},
                      samples, arrived);
    print("Xorg 21.1 (dummy video, libinput input)", results);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    if (const char* guest = std::getenv("QUILLON_VM_GUEST")) {
        return std::string(guest) == "sway" ? guestSway(samples) : guestXorg(samples);
    }
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::ostringstream script;
    script << ". " QUILLON_SOURCE_DIR "/tests/vm/session.sh\n"
              "export HOME=/root XDG_RUNTIME_DIR=/tmp/root-runtime XDG_STATE_HOME=/tmp/state\n"
              "mkdir -p -m 700 /tmp/root-runtime\n"
              "vm_udev\n"
              "vm_sway && QUILLON_VM_GUEST=sway "
           << self << " " << samples << " && vm_stop_sway\n"
           << "vm_xorg && QUILLON_VM_GUEST=xorg " << self << " " << samples << " && vm_stop_xorg\n";
    testing::VirtualMachine vm;
    const auto result =
        vm.run({.guestScript = script.str(), .timeout = std::chrono::seconds(1200)});
    if (!result.cannotStart.empty()) {
        std::printf("skipped: QEMU cannot start here: %s\n", result.cannotStart.c_str());
        return 0;
    }
    std::printf("move -> observer inside a QEMU virtual machine (software emulation), %d samples "
                "each, %.0f s in all\n%s",
                samples, result.seconds, result.guestLog.c_str());
    return 0;
}
