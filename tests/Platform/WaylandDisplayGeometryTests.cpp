// test-labels: wayland
// test-timeout: 120
#include "Platform/Display/DisplaySelection.hpp"
#include "Platform/Display/WaylandDisplayGeometry.hpp"

#include "tests/support/SwayFixture.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using platform::OutputInfo;
using platform::Rect;
using platform::SelectedDisplay;

TEST(DisplaySelection, SettingToArea) {
    const std::vector<OutputInfo> outputs = {
        {"DP-1", {0, 0, 1920, 1080}, 1, false},
        {"HDMI-1", {1920, -200, 1280, 1024}, 1.5, true},
        {"eDP-1", {-1440, 100, 1440, 900}, 2, false},
    };
    const std::vector<OutputInfo> noPrimary = {outputs[0], {"DP-2", {1920, 0, 800, 600}, 2}};
    struct Case {
        const char* what;
        std::vector<OutputInfo> outputs;
        std::string setting;
        std::optional<SelectedDisplay> expected;
    };
    const Case cases[] = {
        {"primary", outputs, "primary", SelectedDisplay{{1920, -200, 1280, 1024}, 1.5, ""}},
        {"empty is primary", outputs, "", SelectedDisplay{{1920, -200, 1280, 1024}, 1.5, ""}},
        {"no primary: the first", noPrimary, "primary", SelectedDisplay{{0, 0, 1920, 1080}, 1, ""}},
        {"by name", outputs, "eDP-1", SelectedDisplay{{-1440, 100, 1440, 900}, 2, ""}},
        {"all: the bounding box, scale of its top-left output", outputs, "all",
         SelectedDisplay{{-1440, -200, 4640, 1280}, 1.5, ""}},
        {"all, no output at the corner: the primary's scale", noPrimary, "all",
         SelectedDisplay{{0, 0, 2720, 1080}, 1, ""}},
        {"unknown name: the primary, with a note", outputs, "VGA-1",
         SelectedDisplay{{1920, -200, 1280, 1024},
                         1.5,
                         "no output is named \"VGA-1\" (there are DP-1, HDMI-1, eDP-1): using "
                         "HDMI-1"}},
        {"no outputs", {}, "all", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::selectDisplay(c.outputs, c.setting), c.expected) << c.what;
    }
}

TEST(WaylandDisplayGeometry, OutputsOfSwayWithTheSettingAndTheirChangesFollowed) {
    testing::SwayServer sway({.outputs = {{"", 0, 0, 1600, 900, 1}, {"", 1600, 0, 800, 600, 2}}});
    std::mutex m;
    std::string setting = "primary";
    platform::WaylandDisplayGeometry geometry(
        sway.display(),
        [&] {
            std::lock_guard lock(m);
            return setting;
        },
        50ms);

    auto s = geometry.state();
    ASSERT_TRUE(s.connected);
    EXPECT_EQ(s.outputs, (std::vector<OutputInfo>{{"HEADLESS-1", {0, 0, 1600, 900}, 1, false},
                                                  {"HEADLESS-2", {1600, 0, 400, 300}, 2, false}}));
    EXPECT_EQ(s.desktop, (Rect{0, 0, 2000, 900}));
    EXPECT_EQ(geometry.mainBounds(), (Rect{0, 0, 1600, 900}));
    EXPECT_EQ(geometry.pixelsPerPoint(), 1.0);

    const auto follow = [&](const std::string& value) {
        {
            std::lock_guard lock(m);
            setting = value;
        }
        return geometry.waitForChange(geometry.state().generation, 3s);
    };
    s = follow("HEADLESS-2");
    EXPECT_EQ(s.area, (Rect{1600, 0, 400, 300}));
    EXPECT_EQ(geometry.mainBounds(), (Rect{0, 0, 400, 300}));
    EXPECT_EQ(geometry.pixelsPerPoint(), 2.0);
    s = follow("all");
    EXPECT_EQ(geometry.mainBounds(), (Rect{0, 0, 2000, 900}));
    EXPECT_EQ(s.note, "");
    s = follow("HEADLESS-9");
    EXPECT_EQ(geometry.mainBounds(), (Rect{0, 0, 1600, 900}));
    EXPECT_NE(s.note.find("no output is named \"HEADLESS-9\""), std::string::npos);

    // The compositor changes its outputs: a new mode, an output moved. (Headless Sway cannot
    // switch an output off: its commit fails.)
    follow("all");
    ASSERT_TRUE(sway.command("output HEADLESS-1 mode 1280x720"));
    testing::waitUntil([&] { return geometry.state().outputs[0].bounds.width == 1280; }, 3s);
    EXPECT_EQ(geometry.mainBounds(), (Rect{0, 0, 2000, 720})); // HEADLESS-2 stays at x 1600
    ASSERT_TRUE(sway.command("output HEADLESS-2 position 0 720"));
    testing::waitUntil([&] { return geometry.state().outputs[1].bounds.y == 720; }, 3s);
    EXPECT_EQ(geometry.state().outputs,
              (std::vector<OutputInfo>{{"HEADLESS-1", {0, 0, 1280, 720}, 1, false},
                                       {"HEADLESS-2", {0, 720, 400, 300}, 2, false}}));
    EXPECT_EQ(geometry.mainBounds(), (Rect{0, 0, 1280, 1020}));

    // The compositor goes away: no display, as without one.
    sway.stop();
    testing::waitUntil([&] { return !geometry.state().connected; }, 3s);
    EXPECT_EQ(geometry.mainBounds(), Rect{});
    EXPECT_EQ(geometry.pixelsPerPoint(), 2.0);
}

} // namespace
} // namespace quillon
