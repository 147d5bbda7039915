// test-labels: e2e;wayland;gnome
// test-timeout: 240
// `quillon --headless` inside a Wayland session (headless Sway, KWin, GNOME Shell), found through
// avahi, paired and driven by corvane-client: it picks the compositor's own input interface,
// tells the tablet the output's size, moves that compositor's pointer, and lets go of a held
// button when it ends.
#include "Platform/Input/GnomeRemoteDesktopBackend.hpp"
#include "Platform/Input/UinputDevice.hpp"

#include "tests/support/AvahiFixture.hpp"
#include "tests/support/DbusFixture.hpp"
#include "tests/support/GnomeShellFixture.hpp"
#include "tests/support/KwinFixture.hpp"
#include "tests/support/SwayFixture.hpp"
#include "tests/support/WaylandInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sys/wait.h>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

using Rec = WaylandInputObserver::Record;

// Runs the host in the session at `display` and drives it; `extraEnv` adds the session's own
// variables. Expects a 1600x900 output.
void driveHostInSession(const std::string& display, const std::string& sessionBus,
                        const std::map<std::string, std::optional<std::string>>& extraEnv) {
    AvahiFixture avahi;
    TempDir dir;
    ChildProcess::Options options;
    options.argv = {QUILLON_BINARY_DIR "/Quillon/quillon", "--headless"};
    options.env = avahi.environment();
    options.env["WAYLAND_DISPLAY"] = display;
    options.env["XDG_SESSION_TYPE"] = "wayland";
    options.env["DISPLAY"] = std::nullopt;
    options.env["DBUS_SESSION_BUS_ADDRESS"] = sessionBus;
    options.env["XDG_DATA_HOME"] = dir.path() + "/data";
    options.env["XDG_CONFIG_HOME"] = dir.path() + "/config";
    options.env["XDG_DATA_DIRS"] = dir.path() + "/system-data";
    options.env["XDG_CACHE_HOME"] = dir.path() + "/cache";
    for (const auto& [k, v] : extraEnv) {
        options.env[k] = v;
    }
    options.outputFile = dir.path() + "/console.txt";
    options.pipeStdin = true;
    ChildProcess host(options);
    const auto consoleHas = [&](const std::string& text) {
        return host.output().find(text) != std::string::npos;
    };
    ASSERT_TRUE(waitUntil([&] { return consoleHas("输入 help 查看命令"); }, 20s)) << host.output();
    EXPECT_TRUE(consoleHas("辅助功能已授权")) << host.output();

    // The host's virtual devices exist now: the observer binds them as it maps its window.
    WaylandInputObserver observer(display);

    host.writeStdin("pair\n");
    std::smatch match;
    std::string out;
    const std::regex pinLine("配对码：([0-9]{6})\n");
    ASSERT_TRUE(waitUntil(
        [&] {
            out = host.output();
            return std::regex_search(out, match, pinLine);
        },
        10s))
        << out;
    const std::string pin = match[1];
    const std::string state = dir.path() + "/client-state";
    const auto runClient = [&](std::vector<std::string> args, const std::string& outputName) {
        ChildProcess::Options o;
        o.argv = {QUILLON_BINARY_DIR "/tools/corvane-client"};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = avahi.environment();
        o.outputFile = dir.path() + "/" + outputName;
        o.pipeStdin = true;
        return std::make_unique<ChildProcess>(o);
    };
    {
        auto pairing =
            runClient({"pair", "--pin", pin, "--state", state, "--name", "Test iPad"}, "pair.txt");
        const auto status = pairing->wait(30s);
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << pairing->output();
    }
    auto client = runClient({"hello", "--state", state}, "hello.txt");
    ASSERT_TRUE(
        waitUntil([&] { return client->output().find("helloAck") != std::string::npos; }, 30s))
        << client->output() << host.output();
    EXPECT_NE(client->output().find("helloAck 1600 900 1"), std::string::npos) << client->output();

    // A quarter across, half way down: (400, 450) on the output.
    client->writeStdin("move 0.25 0.5\n");
    const auto at = [&](double x, double y) {
        return observer.pointerInside() && observer.pointerX() == x && observer.pointerY() == y;
    };
    observer.waitFor([&](const auto&) { return at(400, 450); });
    EXPECT_TRUE(at(400, 450)) << observer.pointerX() << "," << observer.pointerY() << "\n"
                              << host.output();

    // A button held when the host ends is let go.
    client->writeStdin("button left down\n");
    observer.waitFor([&](const auto&) { return !observer.buttonsDown().empty(); });
    EXPECT_EQ(observer.buttonsDown(), (std::set<std::uint32_t>{272}));
    ASSERT_TRUE(host.signal(SIGTERM));
    const auto status = host.wait(15s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    observer.waitFor([&](const auto&) { return observer.buttonsDown().empty(); });
    EXPECT_TRUE(observer.buttonsDown().empty());
}

TEST(WaylandHostEndToEnd, SwaySessionUsesTheWlrootsInterfaces) {
    SwayServer sway;
    DbusFixture session(DbusFixture::Kind::session);
    driveHostInSession(sway.display(), session.address(),
                       {{"SWAYSOCK", sway.ipcSocket()}, {"XDG_CURRENT_DESKTOP", "sway"}});
}

TEST(WaylandHostEndToEnd, KdeSessionUsesFakeInput) {
    // KWin grants fake input to the host's executable, as the installed desktop entry does.
    KwinServer kwin({.granted = QUILLON_BINARY_DIR "/Quillon/quillon"});
    driveHostInSession(kwin.display(), kwin.busAddress(), {{"XDG_CURRENT_DESKTOP", "KDE"}});
}

TEST(WaylandHostEndToEnd, GnomeSessionUsesMuttersRemoteDesktop) {
    GnomeShellServer shell;
    {
        // The shell starts in its overview, above every window: Escape leaves it (what the
        // user's first click does on a real desktop).
        platform::GnomeRemoteDesktopBackend escape(
            {.busAddress = shell.busAddress(), .waylandDisplay = shell.display()});
        escape.key(1, true); // KEY_ESC
        escape.key(1, false);
        escape.sync();
    }
    driveHostInSession(shell.display(), shell.busAddress(), {{"XDG_CURRENT_DESKTOP", "GNOME"}});
}

} // namespace

namespace {

TEST(WaylandHostEndToEnd, AWaylandSessionNothingCanInjectIntoIsSaidNotShownGreen) {
    // XWayland's X server is there (so XTest works), the compositor is not reachable: the
    // console says why input will not reach the session's own windows.
    XvfbServer x({.width = 800, .height = 600});
    DbusFixture session(DbusFixture::Kind::session);
    TempDir dir;
    ChildProcess::Options options;
    options.argv = {QUILLON_BINARY_DIR "/Quillon/quillon", "--headless"};
    options.env["DISPLAY"] = x.display();
    options.env["WAYLAND_DISPLAY"] = dir.path() + "/wayland-0";
    options.env["XDG_SESSION_TYPE"] = "wayland";
    options.env["XDG_CURRENT_DESKTOP"] = "Hyprland";
    options.env["DBUS_SESSION_BUS_ADDRESS"] = session.address();
    options.env["XDG_DATA_HOME"] = dir.path() + "/data";
    options.env["XDG_CONFIG_HOME"] = dir.path() + "/config";
    options.outputFile = dir.path() + "/console.txt";
    options.pipeStdin = true;
    ChildProcess host(options);
    ASSERT_TRUE(waitUntil(
        [&] { return host.output().find("输入 help 查看命令") != std::string::npos; }, 20s))
        << host.output();
    const std::string console = host.output();
    EXPECT_EQ(console.find("辅助功能已授权"), std::string::npos) << console;
    EXPECT_NE(console.find("需要辅助功能权限（this is a Wayland session (Hyprland), but its "
                           "compositor at " +
                           dir.path() +
                           "/wayland-0 did not answer: input reaches only XWayland windows. "
                           "Log into an X11 session to reach every window, or set inputBackend "
                           "to x11 to accept this"),
              std::string::npos)
        << console;
    // This machine has no /dev/uinput: the text says why the kernel's input is no way out
    // either, and the fix gives the command.
    EXPECT_NE(console.find(". Input through the kernel (uinput) would reach every window, but " +
                           platform::uinputAccessProblem("/dev/uinput") + "）"),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("sudo scripts/install-uinput-access\" once"), std::string::npos)
        << console;
    host.closeStdin();
    ASSERT_TRUE(host.signal(SIGTERM));
    host.wait(15s);
}

} // namespace
