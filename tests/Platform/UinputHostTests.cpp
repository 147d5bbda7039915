// test-labels: injection;uinput;x11
// test-timeout: 60
// What the uinput pieces do where the kernel's device is not there (this machine has none; the
// devices themselves are tested in a virtual machine, UinputInputTests): the permission says
// why and what to do, verbs are dropped and counted, smooth scrolling falls back to clicks, and
// a console's keyboard layout comes from the system's configuration.
#include <gtest/gtest.h>

#include "Platform/Input/RecordingInputBackend.hpp"
#include "Platform/Input/SessionKeyboardLayout.hpp"
#include "Platform/Input/SmoothScrollBackend.hpp"
#include "Platform/Input/UinputDevice.hpp"
#include "Platform/Input/UinputInputBackend.hpp"

#include "tests/support/ChildProcess.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <X11/XKBlib.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <fstream>

namespace quillon {
namespace {

using namespace std::chrono_literals;

using platform::UinputInputBackend;

TEST(UinputHost, WithoutTheDeviceNodeTheReasonSaysWhatToDoAndVerbsAreDropped) {
    testing::TempDir dir;
    const std::string missing = dir.path() + "/uinput";
    UinputInputBackend backend({.devicePath = missing});
    const auto permission = backend.permission();
    EXPECT_FALSE(permission.permitted);
    EXPECT_NE(permission.reason.find(missing + " does not exist"), std::string::npos)
        << permission.reason;
    EXPECT_NE(permission.reason.find("sudo modprobe uinput"), std::string::npos);
    EXPECT_NE(permission.reason.find("sudo scripts/install-uinput-access"), std::string::npos);
    EXPECT_EQ(permission.reason, platform::uinputAccessProblem(missing));

    backend.movePointerTo({10, 10});
    backend.button(platform::PointerButton::left, true);
    backend.key(29, true);
    backend.typeText(U"hello");
    backend.wheel(120, 0);
    EXPECT_EQ(backend.stats().dropped, 5u);
    EXPECT_EQ(backend.stats().pastes, 0u);
    EXPECT_EQ(backend.connections(), 0u);          // no devices were made: nothing can be held
    EXPECT_FALSE(backend.keyForKeysym(XKB_KEY_a)); // no layout given
    EXPECT_FALSE(backend.desktopAction(platform::DesktopAction::workspaceLeft));
}

TEST(UinputHost, ANodeThatIsNotUinputIsRefusedPlainly) {
    testing::TempDir dir;
    const std::string file = dir.path() + "/not-uinput";
    std::ofstream(file) << "";
    UinputInputBackend backend({.devicePath = file});
    EXPECT_FALSE(backend.permission().permitted);
    EXPECT_NE(backend.permission().reason.find("refused to create the virtual device \"Quillon "
                                               "pointer\""),
              std::string::npos)
        << backend.permission().reason;
}

TEST(UinputHost, SmoothScrollingWithoutUinputKeepsWholeClicksAndSaysWhy) {
    testing::TempDir dir;
    auto recording = std::make_unique<platform::RecordingInputBackend>();
    auto* verbs = recording.get();
    platform::SmoothScrollBackend smooth(std::move(recording), dir.path() + "/uinput");
    EXPECT_NE(smooth.note().find("scroll is smooth, but " + dir.path() + "/uinput does not exist"),
              std::string::npos)
        << smooth.note();
    EXPECT_NE(smooth.note().find("the wheel turns by whole clicks"), std::string::npos);
    smooth.wheel(30, 0);
    smooth.key(29, true);
    smooth.wheel(120, 0);
    smooth.key(29, false);
    smooth.movePointerTo({5, 6});
    EXPECT_EQ(
        smooth.desktopAction(platform::DesktopAction::workspaceRight),
        platform::RecordingInputBackend().desktopAction(platform::DesktopAction::workspaceRight));
    EXPECT_EQ(verbs->take(),
              (std::vector<std::string>{"wheel(30,0)", "key(29,down)", "wheel(120,0)", "key(29,up)",
                                        "moveTo(5,6)", "desktop(workspaceRight)"}));
    EXPECT_EQ(smooth.name(), "recording");
}

TEST(UinputHost, WheelTurnsCarryHighResolutionAndTheClicksTheyComplete) {
    platform::WheelTurns wheel;
    using E = platform::EvdevEvent;
    struct {
        platform::WheelTurns& wheel;
        std::vector<E> turn(int vertical, int horizontal) {
            const auto t = wheel.turn(vertical, horizontal);
            return {t.span().begin(), t.span().end()};
        }
        void reset() { wheel.reset(); }
    } turns{wheel};
    constexpr std::uint16_t kRel = 2, kWheel = 8, kHWheel = 6, kWheelHi = 11, kHWheelHi = 12;
    EXPECT_EQ(turns.turn(30, 0), (std::vector<E>{{kRel, kWheelHi, 30}}));
    EXPECT_EQ(turns.turn(90, -120), (std::vector<E>{{kRel, kWheelHi, 90},
                                                    {kRel, kWheel, 1},
                                                    {kRel, kHWheelHi, -120},
                                                    {kRel, kHWheel, -1}}));
    // The rest keeps its sign: back down a quarter and a half is not yet a click down.
    EXPECT_EQ(turns.turn(-30, 0), (std::vector<E>{{kRel, kWheelHi, -30}}));
    EXPECT_EQ(turns.turn(-150, 0), (std::vector<E>{{kRel, kWheelHi, -150}, {kRel, kWheel, -1}}));
    // An absurd turn is cut to a hundred clicks, not saved up.
    turns.reset();
    EXPECT_EQ(turns.turn(1 << 30, 0),
              (std::vector<E>{{kRel, kWheelHi, 12000}, {kRel, kWheel, 100}}));
    EXPECT_EQ(turns.turn(0, 0), (std::vector<E>{}));
    // Half a click up, then the wheel turns back: the half does not count against the way down.
    turns.reset();
    EXPECT_EQ(turns.turn(60, 0), (std::vector<E>{{kRel, kWheelHi, 60}}));
    EXPECT_EQ(turns.turn(-90, 0), (std::vector<E>{{kRel, kWheelHi, -90}}));
    EXPECT_EQ(turns.turn(-30, 0), (std::vector<E>{{kRel, kWheelHi, -30}, {kRel, kWheel, -1}}));
}

TEST(UinputHost, AConsoleTypesOnTheSystemsKeyboardLayout) {
    testing::TempDir dir;
    const std::string file = dir.path() + "/keyboard";
    ::unsetenv("XKB_DEFAULT_LAYOUT");
    struct Case {
        const char* config;
        char32_t present;
        char32_t absent;
    };
    for (const Case& c : {Case{"XKBLAYOUT=\"de\"\nXKBVARIANT=\"\"\n", U'ö', U'é'},
                          Case{"XKBMODEL=\"pc105\"\nXKBLAYOUT='fr'\n", U'é', U'ö'},
                          Case{"", U'a', U'ö'}, // nothing configured: us
                          Case{"XKBLAYOUT=\"no-such-layout\"\n", U'a', U'ö'}}) {
        std::ofstream(file) << c.config;
        const auto layout = platform::systemLayout(file);
        EXPECT_EQ(layout.count(xkb_utf32_to_keysym(c.present)), 1u) << c.config;
        EXPECT_EQ(layout.count(xkb_utf32_to_keysym(c.absent)), 0u) << c.config;
    }
}

// X11 shares one layout group among all keyboards: keys type the active group's characters, so
// the index is of that group (else Latin text would come out Cyrillic).
TEST(UinputHost, AnX11LayoutIsReadInItsActiveGroup) {
    testing::XvfbServer x;
    testing::ChildProcess setxkbmap(
        {.argv = {"setxkbmap", "-display", x.display(), "-layout", "us,ru"}});
    ASSERT_TRUE(setxkbmap.wait(20s));
    const auto a = xkb_utf32_to_keysym(U'a');
    const auto ya = xkb_utf32_to_keysym(U'я');
    auto layout = platform::x11Layout(x.display());
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->count(a), 1u);
    EXPECT_EQ(layout->count(ya), 0u);

    testing::XConnection conn(x.display());
    XkbLockGroup(conn.get(), XkbUseCoreKbd, 1);
    XSync(conn.get(), False);
    layout = platform::x11Layout(x.display());
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->count(a), 0u);
    EXPECT_EQ(layout->count(ya), 1u);
    // Shift reaches the capital on the same key.
    const auto capital = layout->find(xkb_utf32_to_keysym(U'Я'));
    ASSERT_NE(capital, layout->end());
    EXPECT_TRUE(capital->second.shift);
    EXPECT_EQ(capital->second.keycode, layout->at(ya).keycode);

    EXPECT_FALSE(platform::x11Layout(":9876"));
}

} // namespace
} // namespace quillon
