// test-labels: wayland;injection;gnome
// test-timeout: 120
#include "Platform/Input/InputBackendChooser.hpp"
#include "Platform/Input/UinputDevice.hpp"

#include "tests/support/DbusFixture.hpp"
#include "tests/support/GnomeShellFixture.hpp"
#include "tests/support/KwinFixture.hpp"
#include "tests/support/SwayFixture.hpp"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using platform::InputBackendChoice;
using platform::InputBackendKind;
using platform::SessionEnvironment;
using platform::SessionOffers;
using K = InputBackendKind;

const std::set<K> kAll = {K::x11, K::wlroots, K::gnome, K::kde, K::uinput};
const std::set<K> kNoGnome = {K::x11, K::wlroots, K::kde};

SessionOffers x11Session() {
    return {.env = {"x11", "", ":0", "XFCE"}};
}
SessionOffers wayland(const char* desktop) {
    return {.env = {"wayland", "wayland-0", ":0", desktop}, .compositorAnswered = true};
}
SessionOffers sway() {
    auto o = wayland("sway");
    o.wlrootsVirtualPointer = o.wlrootsVirtualKeyboard = true;
    return o;
}
SessionOffers gnome() {
    auto o = wayland("GNOME");
    o.mutterRemoteDesktop = true;
    return o;
}
SessionOffers kde() {
    auto o = wayland("KDE");
    o.kdeFakeInput = true;
    return o;
}

TEST(InputBackendChooser, SessionAndOffersToBackendOrRefusal) {
    const std::string xwOnly = "input reaches only XWayland windows";
    const std::string todo = "Log into an X11 session to reach every window, or set "
                             "inputBackend to x11 to accept this";
    auto onlyPointer = sway();
    onlyPointer.wlrootsVirtualKeyboard = false;
    auto silent = wayland("Hyprland");
    silent.compositorAnswered = false;
    auto kdeNamedGnome = kde();
    kdeNamedGnome.env.currentDesktop = "GNOME"; // names never decide
    auto noSessionType = sway();
    noSessionType.env.sessionType = "";
    auto typeOnly = x11Session();
    typeOnly.env.sessionType = "wayland";
    typeOnly.env.waylandDisplay = "";
    typeOnly.env.currentDesktop = "";
    auto everything = sway();
    everything.mutterRemoteDesktop = everything.kdeFakeInput = true;
    // The kernel's input: writable, or why not.
    const auto withUinput = [](SessionOffers o) {
        o.uinputWritable = true;
        return o;
    };
    const std::string noNode =
        "/dev/uinput does not exist: the kernel's uinput module is not loaded";
    const auto withoutUinput = [&](SessionOffers o) {
        o.uinputProblem = noNode;
        return o;
    };
    auto bare = wayland("niri");
    SessionOffers console{.env = {"tty", "", "", ""}};

    struct Case {
        const char* what;
        std::string setting;
        SessionOffers offers;
        std::set<K> available;
        InputBackendChoice expected;
    };
    const Case cases[] = {
        {"X11 session", "auto", x11Session(), kAll, {K::x11, "", ""}},
        {"empty setting is auto", "", sway(), kAll, {K::wlroots, "", ""}},
        {"wlroots globals", "auto", sway(), kAll, {K::wlroots, "", ""}},
        {"WAYLAND_DISPLAY without XDG_SESSION_TYPE",
         "auto",
         noSessionType,
         kAll,
         {K::wlroots, "", ""}},
        {"wlroots wins over the others", "auto", everything, kAll, {K::wlroots, "", ""}},
        {"GNOME's remote desktop", "auto", gnome(), kAll, {K::gnome, "", ""}},
        {"KDE fake input, whatever the desktop's name",
         "auto",
         kdeNamedGnome,
         kAll,
         {K::kde, "", ""}},
        {"GNOME without its backend",
         "auto",
         gnome(),
         kNoGnome,
         {K::x11,
          "this is a Wayland session (GNOME): GNOME's remote desktop input is not supported by "
          "this build, so " +
              xwOnly + ". " + todo,
          ""}},
        {"one wlroots global is not enough",
         "auto",
         onlyPointer,
         kAll,
         {K::x11,
          "this is a Wayland session (sway) whose compositor offers no input interface Quillon "
          "can use (wlroots virtual pointer and keyboard, GNOME remote desktop, KDE fake "
          "input): " +
              xwOnly + ". " + todo,
          ""}},
        {"compositor does not answer",
         "auto",
         silent,
         kAll,
         {K::x11,
          "this is a Wayland session (Hyprland), but its compositor at wayland-0 did not "
          "answer: " +
              xwOnly + ". " + todo,
          ""}},
        {"XDG_SESSION_TYPE alone, nothing to connect to",
         "auto",
         typeOnly,
         kAll,
         {K::x11,
          "this is a Wayland session (an unnamed desktop), but its compositor did not answer: " +
              xwOnly + ". " + todo,
          ""}},
        {"x11 forced in a wlroots session", "x11", sway(), kAll, {K::x11, "", ""}},
        {"kde forced in an X11 session", "kde", x11Session(), kAll, {K::kde, "", ""}},
        {"gnome forced without its backend",
         "gnome",
         gnome(),
         kNoGnome,
         {K::x11,
          "inputBackend is gnome, but GNOME's remote desktop input is not supported by this "
          "build: " +
              xwOnly,
          ""}},
        {"a compositor offering nothing, uinput writable",
         "auto",
         withUinput(bare),
         kAll,
         {K::uinput, "", ""}},
        {"richer interfaces first", "auto", withUinput(kde()), kAll, {K::kde, "", ""}},
        {"X11 keeps XTest", "auto", withUinput(x11Session()), kAll, {K::x11, "", ""}},
        {"a silent compositor, uinput writable",
         "auto",
         withUinput(silent),
         kAll,
         {K::uinput, "", ""}},
        {"a text console, uinput writable", "auto", withUinput(console), kAll, {K::uinput, "", ""}},
        {"a text console without uinput: X11 says there is no display",
         "auto",
         withoutUinput(console),
         kAll,
         {K::x11, "", ""}},
        {"uinput writable, not in this build",
         "auto",
         withUinput(bare),
         kNoGnome,
         {K::x11,
          "this is a Wayland session (niri) whose compositor offers no input interface Quillon "
          "can use (wlroots virtual pointer and keyboard, GNOME remote desktop, KDE fake "
          "input): " +
              xwOnly + ". " + todo,
          ""}},
        {"nothing offered and no uinput: the refusal says why not uinput",
         "auto",
         withoutUinput(bare),
         kAll,
         {K::x11,
          "this is a Wayland session (niri) whose compositor offers no input interface Quillon "
          "can use (wlroots virtual pointer and keyboard, GNOME remote desktop, KDE fake "
          "input): " +
              xwOnly + ". " + todo +
              ". Input through the kernel (uinput) would reach every window, but " + noNode,
          ""}},
        {"uinput forced, whatever the session",
         "uinput",
         withoutUinput(sway()),
         kAll,
         {K::uinput, "", ""}},
        {"unknown setting probes, and says so",
         "mir",
         sway(),
         kAll,
         {K::wlroots, "",
          "inputBackend \"mir\" is not one of auto, x11, wlroots, gnome, kde, uinput: choosing by "
          "the "
          "session"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::chooseInputBackend(c.setting, c.offers, c.available), c.expected)
            << c.what;
    }
}

TEST(InputBackendChooser, ProbingAsksTheCompositorAndTheSessionBus) {
    testing::DbusFixture bus;
    bus.exportAddress();

    // A headless Sway: both wlroots globals, no fake input, no GNOME on the bus.
    testing::SwayServer sway;
    auto offers = platform::probeSession({"wayland", sway.display(), "", "sway"});
    EXPECT_TRUE(offers.compositorAnswered);
    EXPECT_TRUE(offers.wlrootsVirtualPointer);
    EXPECT_TRUE(offers.wlrootsVirtualKeyboard);
    EXPECT_FALSE(offers.kdeFakeInput);
    EXPECT_FALSE(offers.mutterRemoteDesktop);

    // GNOME's interface is found by its owner on the session bus.
    testing::DbusPeer mutter(bus.address());
    mutter.requestName("org.gnome.Mutter.RemoteDesktop");
    offers = platform::probeSession({"wayland", sway.display(), "", "sway"});
    EXPECT_TRUE(offers.mutterRemoteDesktop);

    // KWin offers fake input to this (granted) program, and no wlroots globals.
    testing::KwinServer kwin;
    offers = platform::probeSession({"wayland", kwin.display(), "", "KDE"});
    EXPECT_TRUE(offers.compositorAnswered);
    EXPECT_TRUE(offers.kdeFakeInput);
    EXPECT_FALSE(offers.wlrootsVirtualPointer || offers.wlrootsVirtualKeyboard);

    // GNOME Shell: its remote desktop on its session bus and no wlroots globals, so gnome.
    {
        testing::GnomeShellServer shell;
        ::setenv("DBUS_SESSION_BUS_ADDRESS", shell.busAddress().c_str(), 1);
        offers = platform::probeSession({"wayland", shell.display(), "", "GNOME"});
        bus.exportAddress();
        EXPECT_TRUE(offers.compositorAnswered);
        EXPECT_TRUE(offers.mutterRemoteDesktop);
        EXPECT_FALSE(offers.wlrootsVirtualPointer || offers.wlrootsVirtualKeyboard);
        EXPECT_FALSE(offers.kdeFakeInput);
        EXPECT_EQ(platform::chooseInputBackend("auto", offers, kAll),
                  (platform::InputBackendChoice{K::gnome, "", ""}));
    }

    // No compositor at that display; an X11 session is not probed at all.
    testing::TempDir dir;
    offers = platform::probeSession({"wayland", dir.path() + "/wayland-7", "", ""});
    EXPECT_FALSE(offers.compositorAnswered);
    EXPECT_FALSE(offers.wlrootsVirtualPointer);
    offers = platform::probeSession({"x11", "", ":0", ""});
    EXPECT_FALSE(offers.compositorAnswered);
    EXPECT_FALSE(offers.mutterRemoteDesktop);
    // /dev/uinput is asked in every session (this machine has none).
    EXPECT_EQ(offers.uinputWritable, offers.uinputProblem.empty());
    EXPECT_EQ(offers.uinputProblem, platform::uinputAccessProblem("/dev/uinput"));
}

} // namespace
} // namespace quillon
