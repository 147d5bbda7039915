// test-labels: coordinator;x11;concurrency
// test-timeout: 180
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/X11InputBackend.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace quillon;
using namespace std::chrono_literals;
using quillon::testing::XInputObserver;
using quillon::testing::XvfbServer;
using Rec = XInputObserver::Record;

namespace {

// What another X client saw, one letter per event (M a motion that moved the pointer, D/U
// button press/release, T a typed character, K any other key), runs of the same letter
// collapsed, releases of keys left out. A click is posted where the pointer is, with a motion
// to that same place first; such motions move nothing and are left out.
std::string seen(const std::vector<Rec>& records, XInputObserver::Pointer from) {
    std::string out;
    int lastX = from.x, lastY = from.y;
    for (const auto& r : records) {
        char c = 0;
        const bool moved = r.x != lastX || r.y != lastY;
        if (r.kind != Rec::keyPress && r.kind != Rec::keyRelease) {
            lastX = r.x;
            lastY = r.y;
        }
        switch (r.kind) {
        case Rec::motion:
            c = moved ? 'M' : 0;
            break;
        case Rec::buttonPress:
            c = 'D';
            break;
        case Rec::buttonRelease:
            c = 'U';
            break;
        case Rec::keyPress:
            c = r.keysym.size() == 1 ? 'T' : 'K';
            break;
        case Rec::keyRelease:
            break;
        }
        if (c != 0 && (out.empty() || out.back() != c)) {
            out.push_back(c);
        }
    }
    return out;
}

// Sequences that mix the immediate path (moves, keys, text), the main-thread path (multiClick)
// and long text typed piecewise land on a real X server in the order the device sent them, as
// another client sees them.
TEST(InputOrderX11, MixedSequencesLandInTheOrderSent) {
    XvfbServer x;
    XInputObserver observer(x.display());
    auto main = std::make_shared<platform::IoContextMainQueue>();
    auto geometry = std::make_shared<platform::X11DisplayGeometry>(x.display(), 50ms);
    platform::X11InputBackend::Options backendOptions;
    backendOptions.display = x.display();
    backendOptions.geometry = geometry;
    auto backend = std::make_shared<platform::X11InputBackend>(backendOptions);
    quillon::testing::TempDir home;
    platform::Defaults defaults(home.path() + "/defaults.json");
    auto timers = std::make_shared<platform::SerialQueue>("quillon-momentum");
    HostCoordinator::Options options;
    options.server.advertise = false;
    auto coordinator = HostCoordinator::create(
        std::make_shared<InMemoryPairingStore>(),
        EventInjector::create(
            {.backend = backend, .geometry = geometry, .defaults = defaults, .scheduler = timers}),
        false, nullptr, {main, defaults, InputDiagnostics::toDiagLog(defaults), nullptr, nullptr},
        options);

    using namespace wire::cm;
    const auto click = [](std::uint8_t n) { return MultiClick{wire::MouseButton::left, n}; };
    const KeyCombo enter{36, wire::KeyModifiers{}};
    const std::string longText(50, 'q');
    struct Case {
        const char* name;
        std::vector<wire::ControlMessage> sent;
        std::string landed;
    };
    const std::vector<Case> cases = {
        {"double click, then moves",
         {click(2), PointerRelative{5, 0}, PointerRelative{5, 0}},
         "DUDUM"},
        {"move, click, key, move",
         {PointerRelative{5, 0}, click(1), enter, PointerRelative{5, 0}},
         "MDUKM"},
        {"long text, then a click and a move",
         {TextInput{longText}, click(1), PointerRelative{-5, 0}},
         "TDUM"},
        {"key, click, text, move, click, text",
         {enter, click(1), TextInput{longText}, PointerRelative{5, 0}, click(1), TextInput{"ab"}},
         "KDUTMDUT"},
    };
    // The X pointer where the injector believes it is (the injector never reads it back).
    coordinator->dispatch(PointerRelative{0, 0}, "device");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        observer.settle();
        observer.clear();
        const auto from = observer.pointer();
        std::thread transport([&] {
            for (const auto& m : c.sent) {
                coordinator->dispatch(m, "device");
            }
        });
        transport.join();
        main->runFor(300ms); // the main-thread steps
        main->runUntil([&] { return seen(observer.settle(300ms), from) == c.landed; }, 5s);
        EXPECT_EQ(seen(observer.settle(), from), c.landed);
    }
    coordinator->stop();
    coordinator.reset();
}

} // namespace
