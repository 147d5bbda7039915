// test-labels: e2e
// test-timeout: 180
// test-language: zh_CN
// The host as a user runs it: `quillon --headless` as a process on a private X server, with a
// private session bus and avahi-daemon on the loopback interface; corvane-client finds it by
// DNS-SD, pairs with the PIN the console prints, and drives the X pointer.
#include "Platform/Diagnostics/DiagLog.hpp"
#include "tests/support/AvahiFixture.hpp"
#include "tests/support/CatalogFixtures.hpp"
#include "tests/support/DbusFixture.hpp"
#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(HeadlessHostEndToEnd, PairHelloMoveLockUnlockAndTerminate) {
    XvfbServer x({.width = 1280, .height = 800});
    AvahiFixture avahi; // points DBUS_SYSTEM_BUS_ADDRESS of this process at its private bus
    DbusFixture session(DbusFixture::Kind::session);
    XInputObserver observer(x.display(), false);
    const auto logStart = readFile(platform::DiagLog::path()).size();

    TempDir dir;
    // The applications the host will list: its own fixture directories only, so the system's
    // entries do not show up. Given out of order on purpose.
    writeSolidPNG(dir.path() + "/icon.png", 64, 48, {0.1, 0.6, 0.3, 1});
    for (const std::string name : {"zeta", "App 10", "Alpha", "App 2"}) {
        std::string id = "org.example." + name;
        id.erase(std::remove(id.begin(), id.end(), ' '), id.end());
        writeDesktopEntry(dir.path() + "/data/applications/" + id + ".desktop",
                          "Name=" + name + "\nIcon=" + dir.path() + "/icon.png\nExec=true\n");
    }
    ChildProcess::Options options;
    options.argv = {QUILLON_BINARY_DIR "/Quillon/quillon", "--headless"};
    options.env = avahi.environment();
    options.env["DISPLAY"] = x.display();
    options.env["DBUS_SESSION_BUS_ADDRESS"] = session.address();
    // A keychain and settings of its own, so every run starts without paired devices.
    options.env["XDG_DATA_HOME"] = dir.path() + "/data";
    options.env["XDG_CONFIG_HOME"] = dir.path() + "/config";
    options.env["XDG_DATA_DIRS"] = dir.path() + "/system-data";
    options.env["XDG_CACHE_HOME"] = dir.path() + "/cache";
    options.outputFile = dir.path() + "/console.txt";
    options.pipeStdin = true;
    // A settings file nested past any setting: read as empty, and the console and log say so.
    std::filesystem::create_directories(dir.path() + "/config/corvane");
    std::ofstream(dir.path() + "/config/corvane/defaults.json")
        << "{\"a\":" << std::string(5000, '[');
    ChildProcess host(options);
    const auto consoleHas = [&](const std::string& text) {
        return host.output().find(text) != std::string::npos;
    };
    ASSERT_TRUE(waitUntil([&] { return consoleHas("输入 help 查看命令"); }, 20s)) << host.output();
    EXPECT_TRUE(consoleHas("辅助功能已授权")) << host.output();
    EXPECT_TRUE(consoleHas("尚未配对任何设备"));
    EXPECT_TRUE(consoleHas("未连接"));
    EXPECT_TRUE(consoleHas("设置文件无法读取，全部设置按默认值：" + dir.path() +
                           "/config/corvane/defaults.json: JSON nested too deeply"))
        << host.output();

    // `quillon ctl`, as a script would run it against this host.
    int ctlRuns = 0;
    const auto ctl = [&](std::vector<std::string> args) {
        ChildProcess::Options o;
        o.argv = {QUILLON_BINARY_DIR "/Quillon/quillon", "ctl"};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env["DBUS_SESSION_BUS_ADDRESS"] = session.address();
        // A file per run: output files are appended to, and an earlier run's output (a device's
        // identifier with six digits in a row) must not count as this one's.
        o.outputFile = dir.path() + "/ctl-" + std::to_string(++ctlRuns) + ".txt";
        ChildProcess c(o);
        const auto status = c.wait(20s);
        return std::make_pair(status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, c.output());
    };

    // Pairing: the PIN comes from the console, the salt from the advertisement.
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

    // corvane-client finds the pairing service through avahi, pairs, and keeps the identity.
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
    ASSERT_TRUE(waitUntil([&] { return consoleHas("○ Test iPad"); }, 10s)) << host.output();

    // Hello over the main service, found the same way. The client takes commands on stdin.
    // Right after an unlock the old advertisement may linger for a moment, so a client that
    // cannot connect is simply started again.
    const auto hello = [&](const std::string& name) -> std::unique_ptr<ChildProcess> {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            auto client = runClient({"hello", "--state", state}, name);
            if (waitUntil(
                    [&] {
                        return client->output().find("helloAck") != std::string::npos ||
                               !client->running();
                    },
                    15s) &&
                client->output().find("helloAck") != std::string::npos) {
                return client;
            }
            std::this_thread::sleep_for(300ms);
        }
        return nullptr;
    };
    auto client = hello("hello1.txt");
    ASSERT_TRUE(client);
    EXPECT_NE(client->output().find("helloAck 1280 800 1"), std::string::npos) << client->output();
    ASSERT_TRUE(waitUntil([&] { return consoleHas("● Test iPad"); }, 10s)) << host.output();
    EXPECT_TRUE(consoleHas("已连接 · WiFi"));
    // Absolute positions are fractions of the display: a quarter across, half way down.
    client->writeStdin("move 0.25 0.5\n");
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto p = observer.pointer();
            return p.x == 320 && p.y == 400;
        },
        5s))
        << observer.pointer().x << "," << observer.pointer().y;

    // The tablet's launcher: the list comes back whole, decodable under the wire limits (the
    // client decodes it with the same decoder as the tablet), in the order a user expects.
    client->writeStdin("list-apps\n");
    ASSERT_TRUE(waitUntil(
        [&] { return client->output().find("applicationList 4\n") != std::string::npos; }, 20s))
        << client->output();
    const std::regex appLine("app ([^\t]+)\t([^\t]+)\t([0-9]+)\n");
    const std::string listed = client->output();
    std::vector<std::string> names;
    for (auto it = std::sregex_iterator(listed.begin(), listed.end(), appLine);
         it != std::sregex_iterator(); ++it) {
        names.push_back((*it)[2]);
        EXPECT_GT(std::stoul((*it)[3]), 0u) << "every entry carries an icon";
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "App 2", "App 10", "zeta"})) << listed;

    // The screen locks: the session is dropped. It unlocks: the tablet gets back in.
    DbusPeer screensaver(session.address());
    screensaver.requestName("org.freedesktop.ScreenSaver"); // only the locker's own signals count
    screensaver.emitBool("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "ActiveChanged", true);
    EXPECT_TRUE(
        waitUntil([&] { return client->output().find("closed") != std::string::npos; }, 10s))
        << client->output();
    ASSERT_TRUE(waitUntil([&] { return consoleHas("屏幕已锁定，连接已全部断开"); }, 10s));
    client.reset();
    // The lock is the lock everywhere: no pairing window and no unpairing while it holds.
    host.writeStdin("pair\n");
    EXPECT_TRUE(waitUntil([&] { return consoleHas("屏幕已锁定，解锁后才能配对"); }, 10s))
        << host.output();
    const auto lockedPair = ctl({"pair"});
    EXPECT_EQ(lockedPair.first, 1);
    EXPECT_NE(lockedPair.second.find("屏幕已锁定：解锁后才能配对设备"), std::string::npos)
        << lockedPair.second;
    const auto lockedUnpair = ctl({"unpair", "1"});
    EXPECT_EQ(lockedUnpair.first, 1);
    EXPECT_NE(lockedUnpair.second.find("屏幕已锁定：解锁后才能解除配对"), std::string::npos);
    EXPECT_TRUE(ctl({"devices"}).second.find("Test iPad") != std::string::npos) << "still paired";
    screensaver.emitBool("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "ActiveChanged", false);
    ASSERT_TRUE(waitUntil([&] { return consoleHas("屏幕已解锁"); }, 10s)) << host.output();
    client = hello("hello2.txt");
    ASSERT_TRUE(client);

    // On a host with a display the PIN of a window opened over the bus shows on the screen
    // (this console) only: neither Pair() nor State() hands it to the caller.
    const std::string consoleBefore = host.output();
    const auto graphicalPair = ctl({"pair"});
    EXPECT_EQ(graphicalPair.first, 0);
    EXPECT_NE(graphicalPair.second.find("配对窗口已打开，配对码显示在主机的屏幕上"),
              std::string::npos)
        << graphicalPair.second;
    EXPECT_FALSE(std::regex_search(graphicalPair.second, std::regex("[0-9]{6}")));
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::string now = host.output().substr(consoleBefore.size());
            return std::regex_search(now, pinLine);
        },
        10s))
        << host.output();
    EXPECT_EQ(ctl({"state"}).second.find("配对码："), std::string::npos);
    EXPECT_EQ(ctl({"cancel"}).first, 0);

    // A button held when the host is told to end is let go; the host exits cleanly.
    client->writeStdin("move 0.1 0.1\nbutton left down\n");
    ASSERT_TRUE(waitUntil([&] { return observer.anyButtonDown(); }, 5s));
    ASSERT_TRUE(host.signal(SIGTERM));
    const auto status = host.wait(15s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_FALSE(observer.anyButtonDown());

    const auto log = readFile(platform::DiagLog::path()).substr(logStart);
    EXPECT_NE(log.find("=== 启动，辅助功能授权 = true，路径 = "), std::string::npos) << log;
    EXPECT_NE(log.find("【连接】设备接入：Test iPad（wifi）"), std::string::npos) << log;
    EXPECT_NE(log.find("【锁屏】屏幕已锁定"), std::string::npos) << log;
    EXPECT_NE(log.find("【解锁】屏幕已解锁"), std::string::npos) << log;
}

} // namespace
