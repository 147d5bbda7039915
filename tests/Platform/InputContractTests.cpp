// test-labels: wayland;x11;injection;gnome
// test-timeout: 600
// The one input contract (tests/support/InputContract.hpp) on every display server this
// machine runs: X11 (Xvfb), wlroots (headless Sway), KDE (KWin) and GNOME Shell. The kernel's
// uinput runs the same table inside the virtual machine (UinputInputTests).
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"
#include "Platform/Display/X11DisplayGeometry.hpp"
#include "Platform/Input/GnomeRemoteDesktopBackend.hpp"
#include "Platform/Input/KdeFakeInputBackend.hpp"
#include "Platform/Input/WlrootsInputBackend.hpp"
#include "Platform/Input/X11InputBackend.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include "tests/support/GnomeShellFixture.hpp"
#include "tests/support/InputContract.hpp"
#include "tests/support/KwinFixture.hpp"
#include "tests/support/SwayFixture.hpp"
#include "tests/support/WaylandInputObserver.hpp"
#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

// After gtest: Xlib defines macros that clash with its templates.
#include <X11/Xlib.h>

#include <cmath>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using testing::ContractServer;
using testing::lookWayland;
using testing::lookX11;
using testing::runContract;
using testing::Seen;

// --- X11 (Xvfb) --------------------------------------------------------------------------------

class X11Server : public ContractServer {
public:
    X11Server()
        : x_({.width = 1280, .height = 800}),
          geometry_(std::make_shared<platform::X11DisplayGeometry>(x_.display(), 50ms)),
          backend_([this] {
              platform::X11InputBackend::Options o;
              o.display = x_.display();
              o.geometry = geometry_;
              return o;
          }()),
          observer_(x_.display()) {
        startInjector();
        observer_.clear();
    }
    const char* name() const override { return "x11"; }
    platform::InputBackend& backend() override { return backend_; }
    std::shared_ptr<const platform::DisplayGeometry> geometry() override { return geometry_; }
    Seen look() override {
        backend_.sync();
        return lookX11(observer_, 150ms);
    }

private:
    testing::XvfbServer x_;
    std::shared_ptr<platform::X11DisplayGeometry> geometry_;
    platform::X11InputBackend backend_;
    testing::XInputObserver observer_;
};

// --- Wayland compositors -----------------------------------------------------------------------

class SwayCompositor : public ContractServer {
public:
    SwayCompositor()
        : geometry_(std::make_shared<platform::WaylandDisplayGeometry>(sway_.display())),
          backend_(
              {.display = sway_.display(), .geometry = geometry_, .swaySocket = sway_.ipcSocket()}),
          observer_(sway_.display()) {
        startInjector();
        // The backend's devices appear with its first verbs; the window then has both.
        backend_.movePointerTo({10, 10});
        backend_.sync();
        observer_.waitFor(
            [&](const auto&) { return observer_.pointerInside() && observer_.keyboardFocus(); });
        observer_.settle(100ms);
        observer_.clear();
    }
    const char* name() const override { return "wlroots"; }
    platform::InputBackend& backend() override { return backend_; }
    std::shared_ptr<const platform::DisplayGeometry> geometry() override { return geometry_; }
    Seen look() override {
        backend_.sync();
        return lookWayland(observer_, 250ms);
    }

private:
    testing::SwayServer sway_;
    std::shared_ptr<platform::WaylandDisplayGeometry> geometry_;
    platform::WlrootsInputBackend backend_;
    testing::WaylandInputObserver observer_;
};

class KwinCompositor : public ContractServer {
public:
    KwinCompositor()
        : geometry_(std::make_shared<platform::WaylandDisplayGeometry>(kwin_.display())),
          backend_({.display = kwin_.display(),
                    .geometry = geometry_,
                    .busAddress = kwin_.busAddress()}),
          observer_(kwin_.display()) {
        startInjector();
        backend_.movePointerTo({10, 10});
        backend_.sync();
        observer_.waitFor(
            [&](const auto&) { return observer_.pointerInside() && observer_.keyboardFocus(); });
        observer_.settle(100ms);
        observer_.clear();
    }
    const char* name() const override { return "kde"; }
    platform::InputBackend& backend() override { return backend_; }
    std::shared_ptr<const platform::DisplayGeometry> geometry() override { return geometry_; }
    Seen look() override {
        backend_.sync();
        return lookWayland(observer_, 250ms);
    }

private:
    testing::KwinServer kwin_;
    std::shared_ptr<platform::WaylandDisplayGeometry> geometry_;
    platform::KdeFakeInputBackend backend_;
    testing::WaylandInputObserver observer_;
};

class GnomeShell : public ContractServer {
public:
    GnomeShell()
        : geometry_(std::make_shared<platform::WaylandDisplayGeometry>(shell_.display())),
          backend_({.busAddress = shell_.busAddress(),
                    .waylandDisplay = shell_.display(),
                    .geometry = geometry_}),
          observer_(shell_.display()) {
        startInjector();
        // GNOME Shell starts in its overview, above every window: Escape leaves it.
        backend_.key(1, true);
        backend_.key(1, false);
        testing::waitUntil(
            [&] {
                backend_.movePointerTo({20, 20});
                backend_.movePointerTo({10, 10});
                backend_.sync();
                observer_.settle(50ms);
                return observer_.pointerInside() && observer_.keyboardFocus();
            },
            10s);
        observer_.settle(100ms);
        observer_.clear();
    }
    const char* name() const override { return "gnome"; }
    platform::InputBackend& backend() override { return backend_; }
    std::shared_ptr<const platform::DisplayGeometry> geometry() override { return geometry_; }
    Seen look() override {
        backend_.sync();
        return lookWayland(observer_, 250ms);
    }

private:
    testing::GnomeShellServer shell_;
    std::shared_ptr<platform::WaylandDisplayGeometry> geometry_;
    platform::GnomeRemoteDesktopBackend backend_;
    testing::WaylandInputObserver observer_;
};

TEST(InputContract, X11) {
    X11Server server;
    runContract(server);
}

TEST(InputContract, Wlroots) {
    SwayCompositor server;
    runContract(server);
}

TEST(InputContract, Kde) {
    KwinCompositor server;
    runContract(server);
}

TEST(InputContract, Gnome) {
    GnomeShell server;
    runContract(server);
}

} // namespace
} // namespace quillon
