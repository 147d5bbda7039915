// test-labels: e2e;shell
// test-timeout: 240
// test-language: zh_CN
// The desktop program as a user meets it: `quillon` on a private X server with openbox, a
// private session bus with a panel's StatusNotifierWatcher, and avahi on the loopback
// interface. The tray menu is read and clicked over D-Bus as a panel does; a tablet
// (corvane-client) pairs with the PIN the menu shows. `quillon ctl` drives a running headless
// host, and a second start hands over to the first. A host without a window gets one from
// `quillon`: the window of that host, through which it pairs.
#include "Platform/Workspace/IconRenderer.hpp"
#include "tests/support/AvahiFixture.hpp"
#include "tests/support/DbusFixture.hpp"
#include "tests/support/NotificationsStandIn.hpp"
#include "tests/support/StatusNotifierWatcher.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
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
            // A Chinese desktop session (UTF-8: in the C locale Qt writes the legacy WM_NAME
            // title as Latin-1).
            {"LANG", "zh_CN.UTF-8"},
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

// The icon theme of the test's desktop holds Quillon's icons (as PNGs: Qt here has no SVG
// reader), so the tray names them instead of writing pictures.
// The stand-in tablet "Test iPad" pairing with `pin`, found through `avahi`; its state is kept
// in `dir`/client-state for the hellos that follow.
ChildProcess::Options tabletPairing(const std::string& pin, const std::string& dir,
                                    const AvahiFixture& avahi) {
    ChildProcess::Options client;
    client.argv = {QUILLON_BINARY_DIR "/tools/corvane-client",
                   "pair",
                   "--pin",
                   pin,
                   "--state",
                   dir + "/client-state",
                   "--name",
                   "Test iPad"};
    client.env = avahi.environment();
    client.outputFile = dir + "/client.txt";
    return client;
}

void pairTablet(const ChildProcess::Options& client) {
    ChildProcess pairing(client);
    const auto status = pairing.wait(30s);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << pairing.output();
}

void installIcons(const std::string& dataDir) {
    namespace fs = std::filesystem;
    const fs::path theme = fs::path(dataDir) / "icons" / "hicolor";
    fs::create_directories(theme / "48x48" / "apps");
    fs::copy_file("/usr/share/icons/hicolor/index.theme", theme / "index.theme",
                  fs::copy_options::overwrite_existing);
    for (const char* name : {"quillon", "quillon-connected", "quillon-attention"}) {
        const auto png = platform::renderIconFile(fs::path(QUILLON_SOURCE_DIR) / "data" / "icons" /
                                                      (std::string(name) + ".svg"),
                                                  48, 1 << 20);
        ASSERT_TRUE(png);
        std::ofstream out(theme / "48x48" / "apps" / (std::string(name) + ".png"),
                          std::ios::binary);
        out.write(reinterpret_cast<const char*>(png->data()),
                  static_cast<std::streamsize>(png->size()));
    }
}

TEST(DesktopTray, MenuOverDbusPairsATabletOpensTheGuideHandsOverAndQuits) {
    XvfbServer x({.width = 1024, .height = 768, .windowManager = true});
    AvahiFixture avahi;
    DbusFixture session(DbusFixture::Kind::session);
    StatusNotifierWatcher watcher(session.address());
    NotificationsStandIn notifications(session.address());
    TempDir dir;
    installIcons(dir.path() + "/system");

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
    ASSERT_TRUE(waitUntil([&] { return windowNamed("Quillon 控制台"); }, 30s)) << host.output();

    // The panel's view: the item registers with the watcher and exports its menu.
    ASSERT_TRUE(waitUntil([&] { return !watcher.items().empty(); }, 20s)) << host.output();
    DbusMenuReader menu(session.address(), watcher.items().front());
    EXPECT_EQ(menu.title(), "Quillon");
    // Idle: the plain icon, and a tooltip that says so.
    EXPECT_TRUE(waitUntil([&] { return menu.iconName() == "quillon"; }, 5s)) << menu.iconName();
    EXPECT_EQ(menu.toolTip(), "Quillon\n未连接");
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
    const auto client = tabletPairing(pin, dir.path(), avahi);
    ASSERT_NO_FATAL_FAILURE(pairTablet(client));
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return lines == std::vector<std::string>{
                                "[配对新设备]", "---",         "○ Test iPad { [解除配对] }",
                                "---",          "[权限检查…]", "[退出]"};
        },
        10s))
        << joined(lines);
    // The desktop says so.
    const auto paired = notifications.waitFor("已与 Test iPad 配对", 10s);
    ASSERT_TRUE(paired) << host.output();
    EXPECT_EQ(paired->appName, "Quillon");
    EXPECT_EQ(paired->body, "以后它会自动连接。");

    // Connected: notified, and the tray shows it until the tablet goes.
    ChildProcess::Options hello = client;
    hello.argv = {QUILLON_BINARY_DIR "/tools/corvane-client",
                  "hello",
                  "--state",
                  dir.path() + "/client-state",
                  "--linger",
                  "4"};
    hello.outputFile = dir.path() + "/hello.txt";
    {
        ChildProcess session(hello);
        const auto connected = notifications.waitFor("Test iPad 已连接", 15s);
        ASSERT_TRUE(connected) << session.output() << host.output();
        EXPECT_EQ(connected->body, "通过 WiFi。");
        EXPECT_TRUE(waitUntil([&] { return menu.iconName() == "quillon-connected"; }, 5s))
            << menu.iconName();
        EXPECT_EQ(menu.toolTip(), "Quillon\n已连接：Test iPad（WiFi）");
        session.wait(20s);
    }
    ASSERT_TRUE(notifications.waitFor("Test iPad 已断开", 15s));
    EXPECT_TRUE(waitUntil([&] { return menu.iconName() == "quillon"; }, 5s)) << menu.iconName();

    // A wrong PIN: notified with what happened and from where, and the window's notice goes
    // once a pairing succeeds again (not tested here: the window is the views' test).
    clickOn("配对新设备");
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return !lines.empty() && std::regex_match(lines[0], match, pinLine);
        },
        10s));
    const std::string wrong =
        std::to_string((std::stoi(match[1]) + 1) % 1000000 + 1000000).substr(1);
    ChildProcess::Options guess = client;
    guess.argv[3] = wrong;
    guess.argv[5] = dir.path() + "/other-state";
    guess.outputFile = dir.path() + "/guess.txt";
    {
        ChildProcess attempt(guess);
        attempt.wait(30s);
    }
    const auto refused = notifications.waitFor("配对码错误", 10s);
    ASSERT_TRUE(refused) << host.output();
    EXPECT_EQ(refused->body.rfind("配对被拒绝（配对码不对）：", 0), 0u) << refused->body;
    clickOn("取消配对");

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
            return active.output == "Quillon 控制台\n";
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
    EXPECT_NE(state.output.find("配对码：" + pair.output.substr(0, 6)), std::string::npos)
        << state.output;
    EXPECT_NE(state.output.find("正在监听 TCP 端口 "), std::string::npos) << state.output;
    // A second pair keeps the open window's PIN, and says so.
    const auto again = run({kQuillon, "ctl", "pair"}, env, dir.path());
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_NE(again.output.find(pair.output), std::string::npos) << again.output;
    EXPECT_NE(again.output.find("配对窗口已经打开"), std::string::npos) << again.output;

    // For scripts: JSON that parses, with the same facts.
    const auto json = run({kQuillon, "ctl", "state", "--json"}, env, dir.path());
    ASSERT_EQ(json.exitCode, 0) << json.output;
    const auto parsed = nlohmann::json::parse(json.output, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << json.output;
    EXPECT_EQ(parsed["pin"], pair.output.substr(0, 6));
    EXPECT_TRUE(parsed["port"].is_number_integer()) << json.output;
    EXPECT_TRUE(parsed["pairingPort"].is_number_integer()) << json.output;
    EXPECT_GT(parsed["pinSecondsLeft"].get<int>(), 0);
    EXPECT_LE(parsed["pinSecondsLeft"].get<int>(), 60);
    EXPECT_EQ(parsed["permission"]["granted"], false);
    EXPECT_FALSE(parsed["permission"]["steps"].empty());
    EXPECT_EQ(parsed["connection"], nullptr);
    const auto devicesJson = run({kQuillon, "ctl", "devices", "--json"}, env, dir.path());
    EXPECT_EQ(nlohmann::json::parse(devicesJson.output, nullptr, false), nlohmann::json::array())
        << devicesJson.output;
    // Every subcommand's help: on stdout, exit 0.
    for (const std::vector<std::string>& help : {std::vector<std::string>{kQuillon, "--help"},
                                                 {kQuillon, "ctl", "--help"},
                                                 {kQuillon, "ctl", "state", "--help"},
                                                 {kQuillon, "defaults", "--help"}}) {
        const auto shown = run(help, env, dir.path());
        EXPECT_EQ(shown.exitCode, 0) << help.back();
        EXPECT_NE(shown.output.find("用法：quillon"), std::string::npos) << shown.output;
    }

    const auto unknown = run({kQuillon, "ctl", "unpair", "7"}, env, dir.path());
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.output.find("没有这个设备：7"), std::string::npos) << unknown.output;
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
    // Nothing to do is said, not done silently.
    const auto noWindow = run({kQuillon, "ctl", "cancel"}, env, dir.path());
    EXPECT_EQ(noWindow.exitCode, 0);
    EXPECT_EQ(noWindow.output, "没有打开的配对窗口\n");
    EXPECT_EQ(run({kQuillon, "ctl", "quit"}, env, dir.path()).exitCode, 0);
    const auto status = host.wait(15s);
    ASSERT_TRUE(status) << host.output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << host.output();
    // With no host left, ctl says so.
    const auto gone = run({kQuillon, "ctl", "state"}, env, dir.path());
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_NE(gone.output.find("本会话中没有正在运行的 Quillon 主机"), std::string::npos)
        << gone.output;
}

// A host without a window (quillon --headless in the graphical session, as the user unit runs
// it): starting quillon from the menu makes the window of that host. Its tray registers, pairing
// begun from it opens the host's pairing window, the tablet pairs with the PIN the window
// shows (which `quillon ctl` is not told here), the device appears. A third start brings the
// same window to the front. The host starting over in place, stopping and coming back are
// followed; the window's Quit closes the window only; `quillon ctl show` opens one, which
// starts Quillon in itself once the host has stopped.
TEST(DesktopTray, TheWindowOfAHeadlessHostPairsThroughIt) {
    XvfbServer x({.width = 1024, .height = 768, .windowManager = true});
    AvahiFixture avahi;
    DbusFixture session(DbusFixture::Kind::session);
    StatusNotifierWatcher watcher(session.address());
    TempDir dir;
    installIcons(dir.path() + "/system");
    auto env = hostEnvironment(dir.path());
    for (const auto& [k, v] : avahi.environment()) {
        env[k] = v;
    }
    env["DISPLAY"] = x.display();
    env["DBUS_SESSION_BUS_ADDRESS"] = session.address();
    const auto startHost = [&](const std::string& name) {
        ChildProcess::Options o;
        o.argv = {kQuillon, "--headless"};
        o.env = env;
        o.outputFile = dir.path() + "/" + name + ".txt";
        o.pipeStdin = true; // a terminal nobody types into
        return std::make_unique<ChildProcess>(o);
    };
    const auto hostAnswers = [&] {
        return waitUntil(
            [&] {
                return run({kQuillon, "ctl", "state"}, env, dir.path()).exitCode == 0;
            },
            20s);
    };
    auto host = startHost("host");
    ASSERT_TRUE(hostAnswers()) << host->output();

    ChildProcess::Options options;
    options.argv = {kQuillon};
    options.env = env;
    options.outputFile = dir.path() + "/window.txt";
    ChildProcess window(options);
    const std::map<std::string, std::optional<std::string>> xdotoolEnv = {{"DISPLAY", x.display()},
                                                                          {"LC_ALL", "C.UTF-8"}};
    const auto consoles = [&] {
        return run({"xdotool", "search", "--onlyvisible", "--name", "^Quillon 控制台$"}, xdotoolEnv,
                   dir.path(), 5s)
            .output;
    };
    const auto windows = [&] {
        const auto ids = consoles();
        return std::count(ids.begin(), ids.end(), '\n');
    };
    ASSERT_TRUE(waitUntil([&] { return !consoles().empty(); }, 30s)) << window.output();
    ASSERT_TRUE(waitUntil([&] { return !watcher.items().empty(); }, 20s)) << window.output();
    DbusMenuReader menu(session.address(), watcher.items().front());
    std::vector<std::string> lines;
    const std::vector<std::string> nothingPaired = {
        "[配对新设备]", "---", "尚未配对任何设备", "---", "[权限检查…]", "[退出]"};
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return lines == nothingPaired;
        },
        20s))
        << joined(lines) << window.output();
    EXPECT_TRUE(host->running());

    const auto clickOn = [&](const std::string& label) {
        const auto root = menu.layout();
        const MenuEntry* entry = DbusMenuReader::find(root, label);
        ASSERT_NE(entry, nullptr) << label << "\n" << joined(DbusMenuReader::describe(root));
        menu.click(entry->id);
    };
    clickOn("配对新设备");
    std::smatch match;
    const std::regex pinLine("^配对码：([0-9]{6})$");
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return !lines.empty() && std::regex_match(lines[0], match, pinLine);
        },
        10s))
        << joined(lines) << window.output();
    const std::string pin = match[1];
    // The host's own pairing window: its terminal shows the same code; a script on the bus is
    // not told it (this host has a screen).
    EXPECT_TRUE(
        waitUntil([&] { return host->output().find("配对码：" + pin) != std::string::npos; }, 5s))
        << host->output();
    const auto state = run({kQuillon, "ctl", "state"}, env, dir.path());
    EXPECT_EQ(state.output.find(pin), std::string::npos) << state.output;
    EXPECT_NE(state.output.find("（"), std::string::npos) << state.output; // the countdown

    ASSERT_NO_FATAL_FAILURE(pairTablet(tabletPairing(pin, dir.path(), avahi)));
    const std::vector<std::string> paired = {
        "[配对新设备]", "---", "○ Test iPad { [解除配对] }", "---", "[权限检查…]", "[退出]"};
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return lines == paired;
        },
        10s))
        << joined(lines);

    // A third start: the same window comes to the front, no second one opens.
    const auto third = run({kQuillon}, env, dir.path());
    EXPECT_EQ(third.exitCode, 0) << third.output;
    EXPECT_NE(third.output.find("Quillon 已在运行"), std::string::npos) << third.output;
    EXPECT_EQ(windows(), 1) << consoles();
    EXPECT_TRUE(waitUntil(
        [&] {
            return run({"xdotool", "getactivewindow", "getwindowname"}, xdotoolEnv, dir.path(), 5s)
                       .output == "Quillon 控制台\n";
        },
        10s));
    EXPECT_EQ(watcher.items().size(), 1u);

    // The host starts over in place (what a granted permission asks of it): the same process,
    // and the window shows it again.
    const auto restart =
        run({"dbus-send", "--session", "--print-reply", "--dest=com.corvane.Quillon",
             "/com/corvane/Quillon", "com.corvane.Quillon1.Restart"},
            env, dir.path());
    EXPECT_EQ(restart.exitCode, 0) << restart.output;
    const auto started = [&](const ChildProcess& p) {
        const auto out = p.output();
        std::size_t count = 0;
        for (auto at = out.find("输入 help 查看命令"); at != std::string::npos;
             at = out.find("输入 help 查看命令", at + 1)) {
            ++count;
        }
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return started(*host) == 2; }, 30s)) << host->output();
    EXPECT_TRUE(host->running());
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return lines == paired;
        },
        20s))
        << joined(lines) << window.output();

    // The host stops: the window says so, and stays.
    EXPECT_EQ(run({kQuillon, "ctl", "quit"}, env, dir.path()).exitCode, 0);
    const auto stopped = host->wait(20s);
    ASSERT_TRUE(stopped && WIFEXITED(*stopped) && WEXITSTATUS(*stopped) == 0) << host->output();
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return lines == std::vector<std::string>{"Quillon 没有在运行", "[启动 Quillon]", "---",
                                                     "[退出]"};
        },
        10s))
        << joined(lines) << window.output();
    EXPECT_TRUE(waitUntil([&] { return menu.iconName() == "quillon-attention"; }, 5s))
        << menu.iconName();
    EXPECT_EQ(menu.toolTip(), "Quillon\nQuillon 没有在运行");
    EXPECT_TRUE(window.running());

    // It comes back (the unit restarted it): shown again. Quit closes the window only.
    host = startHost("host-again");
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(menu.layout());
            return lines == paired;
        },
        30s))
        << joined(lines) << window.output() << host->output();
    clickOn("退出");
    const auto closed = window.wait(20s);
    ASSERT_TRUE(closed && WIFEXITED(*closed) && WEXITSTATUS(*closed) == 0) << window.output();
    EXPECT_TRUE(host->running());
    EXPECT_EQ(run({kQuillon, "ctl", "state"}, env, dir.path()).exitCode, 0);

    // `quillon ctl show` for a host without a window opens one: a program of its own, not this
    // test's child, ended below through its own commands (and with the bus and the display,
    // were the test to fail first).
    const auto show = run({kQuillon, "ctl", "show"}, env, dir.path());
    EXPECT_EQ(show.exitCode, 0) << show.output;
    EXPECT_EQ(show.output, "Quillon 的窗口正在打开\n");
    ASSERT_TRUE(waitUntil([&] { return watcher.items().size() == 2; }, 30s));
    DbusMenuReader opened(session.address(), watcher.items().back());
    ASSERT_TRUE(waitUntil([&] { return DbusMenuReader::describe(opened.layout()) == paired; }, 20s))
        << joined(DbusMenuReader::describe(opened.layout()));
    EXPECT_EQ(run({kQuillon, "ctl", "show"}, env, dir.path()).output, "");

    // The host stops under it: the window offers to start Quillon here, and does (a new
    // quillon that hosts in itself, with the same pairings).
    EXPECT_EQ(run({kQuillon, "ctl", "quit"}, env, dir.path()).exitCode, 0);
    const auto ended = host->wait(20s);
    ASSERT_TRUE(ended && WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0) << host->output();
    ASSERT_TRUE(waitUntil(
        [&] {
            lines = DbusMenuReader::describe(opened.layout());
            return lines == std::vector<std::string>{"Quillon 没有在运行", "[启动 Quillon]", "---",
                                                     "[退出]"};
        },
        10s))
        << joined(lines);
    const auto root = opened.layout();
    opened.click(DbusMenuReader::find(root, "启动 Quillon")->id);
    ASSERT_TRUE(waitUntil([&] { return watcher.items().size() == 3; }, 30s));
    DbusMenuReader hosting(session.address(), watcher.items().back());
    ASSERT_TRUE(
        waitUntil([&] { return DbusMenuReader::describe(hosting.layout()) == paired; }, 20s))
        << joined(DbusMenuReader::describe(hosting.layout()));
    EXPECT_TRUE(waitUntil([&] { return windows() == 1; }, 10s)) << consoles();
    EXPECT_EQ(run({kQuillon, "ctl", "quit"}, env, dir.path()).exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return consoles().empty(); }, 20s));
    EXPECT_TRUE(waitUntil(
        [&] {
            return run({kQuillon, "ctl", "state"}, env, dir.path()).exitCode == 1;
        },
        20s));
}

} // namespace
