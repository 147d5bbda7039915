// test-labels: e2e;wayland;gnome
// test-timeout: 240
// test-language: zh_CN
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

    // The desktop program in a Wayland session without XWayland never aborts: it runs on Qt's
    // Wayland plugin when that is installed, and otherwise says what to install (or to use
    // --headless) and exits 1.
    TempDir dir;
    ChildProcess::Options desktop;
    desktop.argv = {QUILLON_BINARY_DIR "/Quillon/quillon"};
    desktop.env = {{"WAYLAND_DISPLAY", sway.display()},
                   {"XDG_SESSION_TYPE", "wayland"},
                   {"DISPLAY", std::nullopt},
                   {"QT_QPA_PLATFORM", std::nullopt},
                   {"DBUS_SESSION_BUS_ADDRESS", session.address()},
                   {"XDG_DATA_HOME", dir.path() + "/data"},
                   {"XDG_CONFIG_HOME", dir.path() + "/config"},
                   {"XDG_STATE_HOME", dir.path() + "/state"},
                   {"XDG_RUNTIME_DIR", dir.path() + "/run"},
                   {"ASAN_OPTIONS", "detect_leaks=0"}};
    desktop.outputFile = dir.path() + "/desktop.txt";
    ChildProcess program(desktop);
    auto status = program.wait(10s);
    if (!status) {
        ASSERT_TRUE(program.signal(SIGTERM)); // running on Wayland: the plugin is installed
        status = program.wait(20s);
        ASSERT_TRUE(status && WIFEXITED(*status)) << program.output();
        EXPECT_EQ(WEXITSTATUS(*status), 0) << program.output();
    } else {
        ASSERT_TRUE(WIFEXITED(*status)) << "not ended by a signal (Qt's abort)\n"
                                        << program.output();
        EXPECT_EQ(WEXITSTATUS(*status), 1);
        EXPECT_EQ(program.output(),
                  "quillon: 没有安装 Qt 的 Wayland 支持（Debian 软件包 qt6-wayland），也没有可用的 "
                  "X 服务器；请安装它，或者在终端里运行请用 quillon --headless\n");
    }
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
    EXPECT_NE(console.find("需要辅助功能权限（这是一个 Wayland 会话（Hyprland），但 " + dir.path() +
                           "/wayland-0 上的合成器没有响应：输入只能到达 XWayland 窗口。登录 X11 "
                           "会话才能控制所有窗口，或把 inputBackend 设为 x11 以接受这种情况"),
              std::string::npos)
        << console;
    // The tests cannot write /dev/uinput: the way through the kernel is named with why it is
    // shut.
    EXPECT_NE(
        console.find("以接受这种情况。通过内核（uinput）输入可以到达所有窗口，但 /dev/uinput "),
        std::string::npos)
        << console;
    // And the steps for such a session.
    EXPECT_NE(
        console.find("解决办法：\n  1. 这个 Wayland 会话的合成器没有提供 Quillon 能用的输入接口"),
        std::string::npos)
        << console;
    host.closeStdin();
    ASSERT_TRUE(host.signal(SIGTERM));
    host.wait(15s);
}

} // namespace
