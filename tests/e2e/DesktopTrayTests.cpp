// test-labels: e2e;shell
// test-timeout: 240
// The desktop program as a user meets it: `quillon` on a private X server with openbox, a
// private session bus with a panel's StatusNotifierWatcher, and avahi on the loopback
// interface. The tray menu is read and clicked over D-Bus as a panel does; a tablet
// (corvane-client) pairs with the PIN the menu shows. `quillon ctl` drives a running headless
// host, and a second start hands over to the first.
#include "tests/support/AvahiFixture.hpp"
#include "tests/support/DbusFixture.hpp"
#include "tests/support/StatusNotifierWatcher.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <sys/wait.h>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

const std::string kQuillon = QUILLON_BINARY_DIR "/Quillon/quillon";

struct Ran {
    std::optional<int> exitCode;
    std::string output;
};

// Runs a command to its end (within `timeout`).
Ran run(const std::vector<std::string>& argv,
        const std::map<std::string, std::optional<std::string>>& env, const std::string& dir,
        std::chrono::milliseconds timeout = 30s) {
    static int counter = 0;
    ChildProcess::Options o;
    o.argv = argv;
    o.env = env;
    o.outputFile = dir + "/run-" + std::to_string(++counter) + ".txt";
    ChildProcess child(o);
    const auto status = child.wait(timeout);
    Ran r;
    if (status && WIFEXITED(*status)) {
        r.exitCode = WEXITSTATUS(*status);
    }
    r.output = child.output();
    return r;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) {
        out += l + "\n";
    }
    return out;
}

// A private home for one host: keychain, settings and runtime directory of its own.
std::map<std::string, std::optional<std::string>> hostEnvironment(const std::string& dir) {
    return {{"XDG_DATA_HOME", dir + "/data"},
            {"XDG_CONFIG_HOME", dir + "/config"},
            {"XDG_STATE_HOME", dir + "/state"},
            {"XDG_CACHE_HOME", dir + "/cache"},
            {"XDG_DATA_DIRS", dir + "/system"},
            {"XDG_RUNTIME_DIR", dir + "/run"},
            // A UTF-8 locale as a desktop session has (in the C locale Qt writes the legacy
            // WM_NAME title as Latin-1); its language is the source texts'.
            {"LANG", "C.UTF-8"},
            {"LC_ALL", std::nullopt},
            {"LANGUAGE", std::nullopt},
            {"LC_MESSAGES", std::nullopt},
            // libxkbcommon-x11 strndup()s X atom names that are length-bounded, not
            // NUL-terminated; strict string checks would count that as an overflow in Qt's
            // start-up, not ours.
            {"ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0"},
            // Qt's D-Bus tray support keeps a connection object and its name until exit.
            {"LSAN_OPTIONS", "suppressions=" QUILLON_SOURCE_DIR "/tests/e2e/qt-dbus-tray.supp"}};
}

TEST(DesktopTray, MenuOverDbusPairsATabletOpensTheGuideHandsOverAndQuits) {
    XvfbServer x({.width = 1024, .height = 768, .windowManager = true});
    AvahiFixture avahi;
    DbusFixture session(DbusFixture::Kind::session);
    StatusNotifierWatcher watcher(session.address());
    TempDir dir;

    auto env = hostEnvironment(dir.path());
    for (const auto& [k, v] : avahi.environment()) {
        env[k] = v;
    }
    env["DISPLAY"] = x.display();
    env["DBUS_SESSION_BUS_ADDRESS"] = session.address();
    ChildProcess::Options options;
    options.argv = {kQuillon};
    options.env = env;
    options.outputFile = dir.path() + "/quillon.txt";
    ChildProcess host(options);

    // xdotool converts window names into the locale's encoding: a UTF-8 one, or the Chinese
    // titles would not match.
    const std::map<std::string, std::optional<std::string>> xdotoolEnv = {{"DISPLAY", x.display()},
                                                                          {"LC_ALL", "C.UTF-8"}};
    const auto windowNamed = [&](const std::string& name) {
        return run({"xdotool", "search", "--onlyvisible", "--name", "^" + name + "$"}, xdotoolEnv,
                   dir.path(), 5s)
                   .exitCode == 0;
    };
    ASSERT_TRUE(waitUntil([&] { return windowNamed("Corvane 控制台"); }, 30s)) << host.output();

    // The panel's view: the item registers with the watcher and exports its menu.
    ASSERT_TRUE(waitUntil([&] { return !watcher.items().empty(); }, 20s)) << host.output();
    DbusMenuReader menu(session.address(), watcher.items().front());
    EXPECT_EQ(menu.title(), "Corvane");
    EXPECT_EQ(DbusMenuReader::describe(menu.layout()),
              (std::vector<std::string>{"[配对新设备]", "---", "尚未配对任何设备", "---",
                                        "[权限检查…]", "[退出]"}));

    const auto clickOn = [&](const std::string& label) {
        const auto root = menu.layout();
        const MenuEntry* entry = DbusMenuReader::find(root, label);
        ASSERT_NE(entry, nullptr) << label << "\n" << joined(DbusMenuReader::describe(root));
        menu.click(entry->id);
    };
    clickOn("配对新设备");
    std::vector<std::string> lines;
    std::smatch match;
    const std::regex pinLine("^配对码：([0-9]{6})$");
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return lines.size() > 1 && std::regex_match(lines[0], match, pinLine);
        },
        10s))
        << joined(lines);
    const std::string pin = match[1];
    EXPECT_EQ(lines,
              (std::vector<std::string>{"配对码：" + pin, "[取消配对]", "---", "尚未配对任何设备",
                                        "---", "[权限检查…]", "[退出]"}));

    // The tablet pairs with those digits and then shows as paired, not connected.
    ChildProcess::Options client;
    client.argv = {QUILLON_BINARY_DIR "/tools/corvane-client",
                   "pair",
                   "--pin",
                   pin,
                   "--state",
                   dir.path() + "/client-state",
                   "--name",
                   "Test iPad"};
    client.env = avahi.environment();
    client.outputFile = dir.path() + "/client.txt";
    {
        ChildProcess pairing(client);
        const auto status = pairing.wait(30s);
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << pairing.output();
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return lines == std::vector<std::string>{
                                "[配对新设备]", "---",         "○ Test iPad { [解除配对] }",
                                "---",          "[权限检查…]", "[退出]"};
        },
        10s))
        << joined(lines);

    // The same host answers on its control interface.
    const auto devices = run({kQuillon, "ctl", "devices"}, env, dir.path());
    EXPECT_EQ(devices.exitCode, 0);
    EXPECT_NE(devices.output.find("1. ○ Test iPad  ["), std::string::npos) << devices.output;

    clickOn("权限检查…");
    ASSERT_TRUE(waitUntil([&] { return windowNamed("权限检查"); }, 10s));

    // A second start hands over: the first brings its console to the front.
    const auto second = run({kQuillon}, env, dir.path());
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find("Quillon 已在运行"), std::string::npos) << second.output;
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto active =
                run({"xdotool", "getactivewindow", "getwindowname"}, xdotoolEnv, dir.path(), 5s);
            return active.output == "Corvane 控制台\n";
        },
        10s));
    EXPECT_TRUE(host.running());

    clickOn("退出");
    const auto status = host.wait(20s);
    ASSERT_TRUE(status) << host.output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host.output();
}

TEST(DesktopTray, CtlPairsAHeadlessHostAndASecondStartHandsOver) {
    DbusFixture session(DbusFixture::Kind::session);
    TempDir dir;
    auto env = hostEnvironment(dir.path());
    env["DBUS_SESSION_BUS_ADDRESS"] = session.address();
    ChildProcess::Options options;
    options.argv = {kQuillon, "--headless"};
    options.env = env;
    options.outputFile = dir.path() + "/host.txt";
    options.pipeStdin = true;
    ChildProcess host(options);
    ASSERT_TRUE(waitUntil(
        [&] { return host.output().find("输入 help 查看命令") != std::string::npos; }, 20s))
        << host.output();
    ASSERT_TRUE(waitUntil(
        [&] {
            return run({kQuillon, "ctl", "state"}, env, dir.path()).exitCode == 0;
        },
        10s));

    const auto pair = run({kQuillon, "ctl", "pair"}, env, dir.path());
    EXPECT_EQ(pair.exitCode, 0) << pair.output;
    EXPECT_TRUE(std::regex_match(pair.output, std::regex("[0-9]{6}\n"))) << pair.output;
    // The console shows the same PIN.
    EXPECT_TRUE(waitUntil(
        [&] { return host.output().find("配对码：" + pair.output) != std::string::npos; }, 5s))
        << host.output();
    const auto state = run({kQuillon, "ctl", "state"}, env, dir.path());
    EXPECT_NE(state.output.find("配对码：" + pair.output), std::string::npos) << state.output;

    const auto unknown = run({kQuillon, "ctl", "unpair", "7"}, env, dir.path());
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.output.find("no such device: 7"), std::string::npos) << unknown.output;
    EXPECT_EQ(run({kQuillon, "ctl", "frobnicate"}, env, dir.path()).exitCode, 2);

    // A second headless start finds the first and tells it to show itself.
    const auto before = host.output().size();
    const auto second = run({kQuillon, "--headless"}, env, dir.path());
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find("Quillon 已在运行"), std::string::npos) << second.output;
    EXPECT_TRUE(waitUntil(
        [&] { return host.output().find("输入 help 查看命令", before) != std::string::npos; }, 5s));

    // Answers of the console: cancel twice, then quit over the bus.
    host.writeStdin("cancel\ncancel\n");
    EXPECT_TRUE(waitUntil(
        [&] { return host.output().find("没有打开的配对窗口") != std::string::npos; }, 5s))
        << host.output();
    EXPECT_NE(host.output().find("配对窗口已关闭"), std::string::npos);
    EXPECT_EQ(run({kQuillon, "ctl", "quit"}, env, dir.path()).exitCode, 0);
    const auto status = host.wait(15s);
    ASSERT_TRUE(status) << host.output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host.output();
    // With no host left, ctl says so.
    const auto gone = run({kQuillon, "ctl", "state"}, env, dir.path());
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_NE(gone.output.find("no Quillon host is running"), std::string::npos) << gone.output;
}

} // namespace
