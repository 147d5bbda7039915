// test-labels: x11;concurrency
// test-timeout: 120
#include "Platform/Display/X11DisplayGeometry.hpp"

#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <string>

namespace quillon::platform {
namespace {

using namespace std::chrono_literals;
using quillon::testing::waitUntil;
using quillon::testing::XvfbServer;
using M = X11DisplayGeometry::Monitor;

TEST(X11DisplayGeometryRules, MainMonitorIsPrimaryElseTheOneAtOriginElseTheFirst) {
    struct Case {
        const char* what;
        std::vector<M> monitors;
        int expected;
    };
    const Case cases[] = {
        {"none", {}, -1},
        {"primary wins over origin", {{0, 0, 800, 600, false}, {800, 0, 800, 600, true}}, 1},
        {"origin holder without primary", {{800, 0, 800, 600, false}, {0, 0, 800, 600, false}}, 1},
        {"origin inside a monitor at negative position",
         {{1920, 0, 800, 600, false}, {-100, -50, 800, 600, false}},
         1},
        {"edge touching the origin does not hold it",
         {{-800, 0, 800, 600, false}, {2000, 0, 100, 100, false}},
         0},
        {"nobody holds the origin: first",
         {{100, 100, 800, 600, false}, {900, 0, 10, 10, false}},
         0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(X11DisplayGeometry::chooseMain(c.monitors), c.expected) << c.what;
    }
}

TEST(X11DisplayGeometryRules, ScaleIsXftDpiOver96OrOne) {
    const std::pair<const char*, double> cases[] = {
        {nullptr, 1.0},
        {"", 1.0},
        {"Xft.dpi:\t192\n", 2.0},
        {"Xcursor.size: 24\nXft.dpi: 120\nXft.antialias: 1\n", 1.25},
        {"*dpi: 144\n", 1.5},
        {"Xft.dpi: lots\n", 1.0},
        {"Xft.dpi: -96\n", 1.0},
        {"Xft.dpi: 0\n", 1.0},
        {"Xcursor.size: 24\n", 1.0},
        {"*dpi: 144\nXft.dpi: 192\n*dpi: 120\n", 2.0}, // the exact name wins
        {"! Xft.dpi: 192\n", 1.0},
        {"Xft.dpi: 192\nXft.dpi: 288\n", 3.0}, // the last line wins
        {"Xft.dpi: 1e-320\n", 1.0},            // no screen is that coarse
        {"Xft.dpi: 1e308\n", 1.0},             // nor that fine
        {"Xft.dpi: 24\n", 0.25},
    };
    for (const auto& [text, scale] : cases) {
        EXPECT_DOUBLE_EQ(X11DisplayGeometry::scaleFromResources(text), scale)
            << (text ? text : "(null)");
    }
}

TEST(X11DisplayGeometryRules, GlobalPointsMapToRootPixelsFromTheMainOrigin) {
    X11DisplayGeometry::State s;
    s.connected = true;
    s.originX = 800;
    s.originY = 100;
    s.pixelWidth = 800;
    s.pixelHeight = 600;
    s.scale = 2.0;
    int x = 0, y = 0;
    X11DisplayGeometry::toRoot(s, 10.25, 20.5, x, y);
    EXPECT_EQ(x, 821);
    EXPECT_EQ(y, 141);
    X11DisplayGeometry::toRoot(s, std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(), x, y);
    EXPECT_EQ(x, 800);
    EXPECT_EQ(y, 32767);
    X11DisplayGeometry::toRoot(s, -1e300, 0, x, y);
    EXPECT_EQ(x, -32768);
}

TEST(X11DisplayGeometry, FollowsMonitorAndDpiChangesOfARealServer) {
    XvfbServer x({.width = 1600, .height = 600});
    x.setMonitors({{"left", 0, 0, 800, 600, false}, {"right", 800, 0, 800, 600, true}});
    // `byEvents` never looks again on its own, so it sees only what change events tell it.
    X11DisplayGeometry byEvents(x.display(), 1h);
    X11DisplayGeometry polled(x.display(), 50ms);

    for (const X11DisplayGeometry* g : {&byEvents, &polled}) {
        const auto s = g->state();
        EXPECT_TRUE(s.connected);
        EXPECT_EQ(s.originX, 800);
        EXPECT_EQ(s.originY, 0);
        EXPECT_EQ(g->mainBounds(), (Rect{0, 0, 800, 600}));
        EXPECT_DOUBLE_EQ(g->pixelsPerPoint(), 1.0);
    }

    x.setXftDpi(192);
    ASSERT_TRUE(waitUntil([&] { return byEvents.pixelsPerPoint() == 2.0; }, 5s));
    EXPECT_EQ(byEvents.mainBounds(), (Rect{0, 0, 400, 300}));

    // Client-defined monitors change without an event: the periodic look finds them.
    x.setMonitors({{"left", 0, 0, 700, 500, true}, {"right", 700, 0, 900, 600, false}});
    ASSERT_TRUE(waitUntil([&] { return polled.state().pixelWidth == 700; }, 5s));
    const auto s = polled.state();
    EXPECT_EQ(s.originX, 0);
    EXPECT_EQ(s.pixelHeight, 500);
    EXPECT_EQ(polled.mainBounds(), (Rect{0, 0, 350, 250}));

    x.setXftDpi(0);
    ASSERT_TRUE(waitUntil([&] { return byEvents.pixelsPerPoint() == 1.0; }, 5s));
    ASSERT_TRUE(waitUntil([&] { return polled.mainBounds() == Rect{0, 0, 700, 500}; }, 5s));
}

TEST(X11DisplayGeometry, DisplaySettingPicksAMonitorOrTheWholeDesktopAndIsFollowed) {
    // Three monitors of a real server, the primary in the middle and one above the origin, so
    // "all" has a negative origin and the primary is neither the first nor at (0,0).
    XvfbServer x({.width = 2400, .height = 1000});
    // The server's own output (the whole 2400x1000 screen) stays a monitor too, so "all" reaches
    // from the top monitor down to the screen's bottom.
    x.setMonitors({{"left", 0, 200, 800, 800, false},
                   {"mid", 800, 0, 1000, 800, true},
                   {"top", 1800, -100, 600, 300, false}});
    std::mutex m;
    std::string setting;
    X11DisplayGeometry g(x.display(), 50ms, [&] {
        std::lock_guard lock(m);
        return setting;
    });
    struct Case {
        const char* setting;
        int originX, originY, width, height;
        bool noted;
    };
    const Case cases[] = {
        {"", 800, 0, 1000, 800, false},      {"primary", 800, 0, 1000, 800, false},
        {"left", 0, 200, 800, 800, false},   {"top", 1800, -100, 600, 300, false},
        {"all", 0, -100, 2400, 1100, false}, {"HDMI-9", 800, 0, 1000, 800, true},
        {"mid", 800, 0, 1000, 800, false},
    };
    for (const auto& c : cases) {
        {
            std::lock_guard lock(m);
            setting = c.setting;
        }
        const auto matches = [&] {
            const auto s = g.state();
            return s.originX == c.originX && s.originY == c.originY && s.pixelWidth == c.width &&
                   s.pixelHeight == c.height && g.selectionNote().empty() == !c.noted;
        };
        ASSERT_TRUE(waitUntil(matches, 5s))
            << c.setting << ": " << g.state().originX << "," << g.state().originY << " "
            << g.state().pixelWidth << "x" << g.state().pixelHeight << " " << g.selectionNote();
        EXPECT_EQ(g.mainBounds(), (Rect{0, 0, double(c.width), double(c.height)})) << c.setting;
    }

    // With "all", global points reach every monitor: the top one's corner is (1800, -100).
    {
        std::lock_guard lock(m);
        setting = "all";
    }
    ASSERT_TRUE(waitUntil([&] { return g.state().pixelWidth == 2400; }, 5s));
    int rx = 0, ry = 0;
    X11DisplayGeometry::toRoot(g.state(), 1800, 0, rx, ry);
    EXPECT_EQ(rx, 1800);
    EXPECT_EQ(ry, -100);

    // A change of the monitors is followed under the same setting.
    x.setMonitors({{"left", 0, 0, 1200, 1000, true}, {"right", 1200, 0, 1200, 1000, false}});
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto s = g.state();
            return s.originX == 0 && s.originY == 0 && s.pixelWidth == 2400 &&
                   s.pixelHeight == 1000;
        },
        5s));
    EXPECT_EQ(g.selectionNote(), "");
}

TEST(X11DisplayGeometry, WithoutADisplayReportsZeroSizeAndScaleTwo) {
    const std::string gone = ":4999"; // no server listens there
    for (const std::string& name : {std::string(), gone}) {
        X11DisplayGeometry g(name); // the test environment has no DISPLAY
        EXPECT_FALSE(g.state().connected) << name;
        EXPECT_EQ(g.mainBounds(), Rect{}) << name;
        EXPECT_DOUBLE_EQ(g.pixelsPerPoint(), 2.0) << name;
    }
}

TEST(X11DisplayGeometry, SurvivesTheServerGoingAway) {
    auto x = std::make_unique<XvfbServer>(XvfbServer::Options{.width = 1024, .height = 768});
    X11DisplayGeometry g(x->display(), 50ms);
    ASSERT_EQ(g.mainBounds(), (Rect{0, 0, 1024, 768}));
    x->stop();
    ASSERT_TRUE(waitUntil([&] { return !g.state().connected; }, 5s));
    EXPECT_EQ(g.mainBounds(), Rect{});
    EXPECT_DOUBLE_EQ(g.pixelsPerPoint(), 2.0);
}

} // namespace
} // namespace quillon::platform
