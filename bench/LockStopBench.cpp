// How much of a long text still reaches a terminal after the screen locks.
//
// A 200,000-character textInput is handed to the coordinator as a transport thread would,
// typed through the X11 backend into an xterm (raw mode, `cat` into a file, so every character
// that arrives is counted), and 0.8 s later the session bus says the screen saver is active.
// The figures: characters in the file at the lock signal, 0.5 s later, and once typing has
// certainly stopped. The lock is carried by a private dbus-daemon and the real lock monitor,
// so the time the signal takes to reach the host is part of the measurement.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/X11InputBackend.hpp"
#include "Platform/Session/SessionLockSource.hpp"
#include "Quillon/App/HostCore.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "bench/BenchHost.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/DbusFixture.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

using namespace quillon;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::uintmax_t sizeOf(const std::filesystem::path& file) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(file, ec);
    return ec ? 0 : n;
}

// Polls until the file stops growing for `quiet`.
std::uintmax_t settledSize(const std::filesystem::path& file, std::chrono::milliseconds quiet) {
    auto last = sizeOf(file);
    auto since = Clock::now();
    while (Clock::now() - since < quiet) {
        std::this_thread::sleep_for(50ms);
        const auto now = sizeOf(file);
        if (now != last) {
            last = now;
            since = Clock::now();
        }
    }
    return last;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t length = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
    const auto beforeLock = std::chrono::milliseconds(argc > 2 ? std::atoi(argv[2]) : 800);

    quillon::testing::TempDir home;
    ::setenv("XDG_STATE_HOME", (home.path() + "/state").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home.path() + "/config").c_str(), 1);
    quillon::testing::XvfbServer x({.width = 1024, .height = 768, .windowManager = true});
    quillon::testing::DbusFixture bus(quillon::testing::DbusFixture::Kind::session);
    bus.exportAddress();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");

    // The terminal: raw mode without echo, every character straight into the file.
    const std::filesystem::path typed = home.path() + "/typed";
    quillon::testing::ChildProcess xterm({{"xterm", "-geometry", "160x50+0+0", "-e", "sh", "-c",
                                           "stty raw -echo; exec cat > '" + typed.string() + "'"},
                                          {{"DISPLAY", x.display()}}});
    for (int i = 0; i < 100 && !std::filesystem::exists(typed); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    if (!std::filesystem::exists(typed)) {
        std::fprintf(stderr, "xterm did not start\n");
        return 1;
    }
    std::this_thread::sleep_for(500ms); // mapped and focused by the window manager

    auto mainQueue = std::make_shared<platform::IoContextMainQueue>();
    platform::Defaults defaults(home.path() + "/config/defaults.json");
    auto geometry = std::make_shared<platform::X11DisplayGeometry>(x.display());
    platform::X11InputBackend::Options o;
    o.display = x.display();
    o.geometry = geometry;
    auto backend = std::make_shared<platform::X11InputBackend>(o);
    auto host = bench::assembleBenchHost(
        mainQueue, defaults, std::make_shared<InMemoryPairingStore>(), backend, geometry,
        std::shared_ptr<platform::SessionLockSource>(platform::makeDBusSessionLockSource()));
    auto coordinator = host.core->sharedCoordinator();
    coordinator->start();
    std::thread mainThread([&] { mainQueue->run(); });
    std::this_thread::sleep_for(300ms); // the lock monitor has subscribed

    const std::string device = "B3E2A4F0-0000-4000-8000-000000000001";
    coordinator->dispatch(wire::cm::PointerAbsolute{0.4f, 0.4f}, device); // over the terminal
    const auto start = Clock::now();
    coordinator->dispatch(wire::cm::TextInput{std::string(length, 'y')}, device);
    std::this_thread::sleep_for(beforeLock - (Clock::now() - start));

    quillon::testing::DbusPeer screensaver(bus.address());
    screensaver.requestName("org.freedesktop.ScreenSaver"); // only the locker's own signals count
    const auto lockAt = Clock::now();
    const auto atLock = sizeOf(typed);
    screensaver.emitBool("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "ActiveChanged", true);
    std::this_thread::sleep_until(lockAt + 500ms);
    const auto atGrace = sizeOf(typed);
    const auto final = settledSize(typed, 1500ms);
    std::promise<bool> locked;
    mainQueue->post([&] { locked.set_value(coordinator->isScreenLocked()); });
    const bool lockedSeen = locked.get_future().get();

    std::printf("Text of %zu characters typed into xterm on Xvfb %s; lock signal after %lld ms\n",
                length, x.display().c_str(), static_cast<long long>(beforeLock.count()));
    std::printf("  typed before the lock signal      %8ju characters (%.0f per second)\n", atLock,
                static_cast<double>(atLock) /
                    std::chrono::duration<double>(lockAt - start).count());
    std::printf("  typed within 0.5 s of the signal  %8ju\n", atGrace - atLock);
    std::printf("  typed after the signal + 0.5 s    %8ju   (goal: fewer than 200)\n",
                final - atGrace);
    std::printf("  never typed                       %8ju\n", length - final);
    std::printf("  host saw the lock: %s\n", lockedSeen ? "yes" : "no");

    mainQueue->post([&] { coordinator->stop(); });
    mainQueue->post([&] { mainQueue->stop(); });
    mainThread.join();
    coordinator.reset();
    return lockedSeen ? 0 : 1;
}
