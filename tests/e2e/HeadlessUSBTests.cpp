// test-labels: e2e;usb
// test-timeout: 240
// test-language: zh_CN
// A cabled tablet against the host as a user runs it: `quillon --headless` on a private X
// server and session bus, reaching a usbmuxd stand-in of ours through USBMUXD_SOCKET_ADDRESS;
// the stand-in relays Connect to `corvane-client usb`, which plays the tablet's client
// listening on its device port. Pairing and the Wi-Fi session go through avahi on loopback.
#include "Platform/Diagnostics/DiagLog.hpp"
#include "tests/support/AvahiFixture.hpp"
#include "tests/support/CatalogFixtures.hpp"
#include "tests/support/DbusFixture.hpp"
#include "tests/support/UsbmuxStandIn.hpp"
#include "tests/support/XInputObserver.hpp"
#include "tests/support/XvfbFixture.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
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

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

class HeadlessUSB : public ::testing::Test {
protected:
    void SetUp() override {
        writeSolidPNG(dir.path() + "/icon.png", 32, 32, {0.2, 0.2, 0.8, 1});
        writeDesktopEntry(dir.path() + "/data/applications/org.example.Only.desktop",
                          "Name=Only\nIcon=" + dir.path() + "/icon.png\nExec=true\n");
        logStart = readFile(platform::DiagLog::path()).size();
        ChildProcess::Options options;
        options.argv = {QUILLON_BINARY_DIR "/Quillon/quillon", "--headless"};
        options.env = avahi.environment();
        options.env["DISPLAY"] = x.display();
        options.env["DBUS_SESSION_BUS_ADDRESS"] = session.address();
        options.env["USBMUXD_SOCKET_ADDRESS"] = "UNIX:" + mux.socketPath();
        options.env["XDG_DATA_HOME"] = dir.path() + "/data";
        options.env["XDG_CONFIG_HOME"] = dir.path() + "/config";
        options.env["XDG_DATA_DIRS"] = dir.path() + "/system-data";
        options.env["XDG_CACHE_HOME"] = dir.path() + "/cache";
        options.outputFile = dir.path() + "/console.txt";
        options.pipeStdin = true;
        host = std::make_unique<ChildProcess>(options);
        ASSERT_TRUE(waitUntil([&] { return consoleHas("输入 help 查看命令"); }, 20s))
            << host->output();
    }

    bool consoleHas(const std::string& text, std::size_t from = 0) {
        const auto out = host->output();
        return out.size() > from && out.find(text, from) != std::string::npos;
    }
    std::string log() { return readFile(platform::DiagLog::path()).substr(logStart); }
    std::size_t connects() {
        std::size_t n = 0;
        for (const auto& r : mux.requests()) {
            n += r.rfind("Connect", 0) == 0 ? 1 : 0;
        }
        return n;
    }

    std::unique_ptr<ChildProcess> client(std::vector<std::string> args, const std::string& name) {
        ChildProcess::Options o;
        o.argv = {QUILLON_BINARY_DIR "/tools/corvane-client"};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = avahi.environment();
        o.outputFile = dir.path() + "/" + name;
        o.pipeStdin = true;
        return std::make_unique<ChildProcess>(o);
    }

    // The tablet's client on a cable, listening on a port of its own; returns it with the port.
    std::pair<std::unique_ptr<ChildProcess>, std::uint16_t> cableTablet(const std::string& state,
                                                                        const std::string& name) {
        auto tablet = client({"usb", "--state", state, "--listen", "0"}, name);
        std::smatch m;
        std::string out;
        const std::regex listening("listening ([0-9]+)\n");
        EXPECT_TRUE(waitUntil(
            [&] {
                out = tablet->output();
                return std::regex_search(out, m, listening);
            },
            10s))
            << out;
        return {std::move(tablet), m.empty() ? 0 : static_cast<std::uint16_t>(std::stoi(m[1]))};
    }

    static bool says(ChildProcess& p, const std::string& text,
                     std::chrono::milliseconds timeout = 10s) {
        return waitUntil([&] { return p.output().find(text) != std::string::npos; }, timeout);
    }

    XvfbServer x{{.width = 1280, .height = 800}};
    AvahiFixture avahi;
    DbusFixture session{DbusFixture::Kind::session};
    TempDir dir;
    UsbmuxStandIn mux{dir.path() + "/usbmuxd"};
    std::unique_ptr<ChildProcess> host;
    std::size_t logStart = 0;
};

TEST_F(HeadlessUSB, CabledTabletFromPairingToUnlock) {
    XInputObserver observer(x.display(), false);

    // Nobody paired: the tablet is listed, never connected.
    TabletListener bystander;
    mux.attach({1, "SERIAL-1", "USB", bystander.port()});
    ASSERT_TRUE(mux.waitForRequests(2, 10s));
    EXPECT_EQ(connects(), 0u);
    EXPECT_EQ(bystander.accept(0ms), nullptr);
    mux.detach(1);

    // Pair over the network, then connect over Wi-Fi.
    host->writeStdin("pair\n");
    std::smatch match;
    std::string out;
    ASSERT_TRUE(waitUntil(
        [&] {
            out = host->output();
            return std::regex_search(out, match, std::regex("配对码：([0-9]{6})\n"));
        },
        10s));
    const std::string state = dir.path() + "/client-state";
    {
        auto pairing = client({"pair", "--pin", match[1], "--state", state, "--name", "Test iPad"},
                              "pair.txt");
        const auto status = pairing->wait(30s);
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << pairing->output();
    }
    auto wifi = client({"hello", "--state", state}, "wifi.txt");
    ASSERT_TRUE(says(*wifi, "helloAck", 20s)) << wifi->output();
    ASSERT_TRUE(waitUntil([&] { return consoleHas("已连接 · WiFi"); }, 10s));

    // The cable connects: within one poll, admitted, answered on the cable; the Wi-Fi session of
    // the same tablet is dropped.
    auto [tablet, port] = cableTablet(state, "usb1.txt");
    ASSERT_NE(port, 0);
    auto mark = host->output().size();
    mux.attach({1, "SERIAL-1", "USB", port});
    ASSERT_TRUE(says(*tablet, "helloAck 1280 800 1", 5s)) << tablet->output();
    EXPECT_TRUE(says(*wifi, "closed")) << wifi->output();
    ASSERT_TRUE(waitUntil([&] { return consoleHas("已连接 · 数据线", mark); }, 10s))
        << host->output();
    tablet->writeStdin("heartbeat\nmove 0.25 0.5\nlist-apps\n");
    EXPECT_TRUE(says(*tablet, "heartbeatAck")) << tablet->output();
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto p = observer.pointer();
            return p.x == 320 && p.y == 400;
        },
        5s));
    EXPECT_TRUE(says(*tablet, "applicationList 1\napp org.example.Only\tOnly\t", 20s))
        << tablet->output();

    // Unplugged: one close, back to "not connected".
    mark = host->output().size();
    mux.detach(1);
    EXPECT_TRUE(says(*tablet, "closed"));
    ASSERT_TRUE(waitUntil([&] { return consoleHas("未连接", mark); }, 10s)) << host->output();
    EXPECT_EQ(countOf(log(), "【USB】连接断开\n"), 1u);
    tablet.reset();

    // A tablet with the wrong token: 403, then the host ends the stream.
    {
        const auto identity = nlohmann::json::parse(readFile(state));
        TabletListener intruderPort;
        mux.attach({4, "SERIAL-4", "USB", intruderPort.port()});
        auto intruder = intruderPort.accept(5s);
        ASSERT_TRUE(intruder);
        ASSERT_TRUE(intruder->send(wire::cm::Hello{identity["deviceID"].get<std::string>(),
                                                   wire::Bytes(32, 0), "Test iPad", 2}));
        const auto reply = intruder->receive(5s);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->as<wire::cm::Error>(), (wire::cm::Error{403, "凭据无效"}));
        EXPECT_TRUE(intruder->waitForEnd(5s));
        // Refused tablets are tried again at each tick: here the next one is taken.
        auto retried = intruderPort.accept(5s);
        ASSERT_TRUE(retried);
        ASSERT_TRUE(retried->send(wire::cm::Hello{identity["deviceID"].get<std::string>(),
                                                  wire::Bytes(32, 0), "Test iPad", 2}));
        EXPECT_TRUE(retried->waitForEnd(5s));
        mux.detach(4);
        // The user hears of it once, however often the tablet is tried.
        EXPECT_TRUE(waitUntil(
            [&] {
                return consoleHas("连接被拒绝（配对凭据不符，请解除配对后重新配对）：数据线", mark);
            },
            5s))
            << host->output();
        EXPECT_EQ(countOf(log(), "【连接】拒绝 usb：403 凭据无效\n"), 1u);
    }
    // A device whose port nobody listens on: connecting fails at every tick, logged once.
    mux.attach({5, "SERIAL-5", "USB", 1}); // nothing listens on port 1
    EXPECT_TRUE(waitUntil(
        [&] { return log().find("【USB】轮询连接失败，进入静默重试：") != std::string::npos; },
        10s));
    ASSERT_TRUE(mux.waitForRequests(mux.requests().size() + 4, 10s));
    mux.detach(5);

    // Two cabled devices: only the first listed is connected.
    TabletListener second;
    auto [first, firstPort] = cableTablet(state, "usb2.txt");
    mux.attach({2, "SERIAL-2", "USB", firstPort});
    mux.attach({3, "SERIAL-3", "USB", second.port()});
    ASSERT_TRUE(says(*first, "helloAck"));
    mux.clearRequests();
    ASSERT_TRUE(mux.waitForRequests(2, 10s));
    EXPECT_EQ(second.accept(0ms), nullptr);
    EXPECT_EQ(connects(), 0u) << "no second connection while one runs";
    mux.detach(3);

    // usbmuxd goes away (its socket file stays) and comes back: connected again.
    mark = host->output().size();
    mux.stop();
    EXPECT_TRUE(says(*first, "closed"));
    ASSERT_TRUE(waitUntil([&] { return consoleHas("未连接", mark); }, 10s));
    auto [again, againPort] = cableTablet(state, "usb3.txt");
    mux.detach(2);
    mux.attach({2, "SERIAL-2", "USB", againPort});
    mux.start();
    ASSERT_TRUE(says(*again, "helloAck", 10s)) << again->output();

    // Screen lock: the cable session ends and usbmuxd is not polled until the unlock.
    DbusPeer screensaver(session.address());
    screensaver.requestName("org.freedesktop.ScreenSaver"); // only the locker's own signals count
    screensaver.emitBool("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "ActiveChanged", true);
    EXPECT_TRUE(says(*again, "closed"));
    ASSERT_TRUE(waitUntil([&] { return consoleHas("屏幕已锁定，连接已全部断开"); }, 10s));
    std::this_thread::sleep_for(500ms); // a poll already running may still finish
    mux.clearRequests();
    std::this_thread::sleep_for(4500ms);
    EXPECT_EQ(mux.requests(), std::vector<std::string>{});
    auto [afterUnlock, afterUnlockPort] = cableTablet(state, "usb4.txt");
    mux.detach(2);
    mux.attach({2, "SERIAL-2", "USB", afterUnlockPort});
    screensaver.emitBool("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                         "ActiveChanged", false);
    ASSERT_TRUE(says(*afterUnlock, "helloAck", 10s)) << afterUnlock->output();

    ASSERT_TRUE(host->signal(SIGTERM));
    const auto status = host->wait(15s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_TRUE(says(*afterUnlock, "closed")) << "the cable session ends with the host";

    const auto lines = log();
    EXPECT_EQ(countOf(lines, "【USB】设备接入：Test iPad\n"), 4u) << lines;
    EXPECT_NE(lines.find("【连接】设备接入：Test iPad（usb）"), std::string::npos);
    EXPECT_NE(lines.find("【连接】USB 接管，断开同设备的 WiFi 连接"), std::string::npos);
    // usb1 unplugged, the forged one refused, usb2 (daemon gone), usb3 (lock); the one at exit
    // may be cut short by the exit itself.
    EXPECT_GE(countOf(lines, "【USB】连接断开\n"), 4u) << lines;
    EXPECT_EQ(countOf(lines, "【USB】轮询连接失败，进入静默重试：usbmuxd 拒绝连接（代码 3）\n"), 1u)
        << lines;
    EXPECT_EQ(countOf(lines, "【USB】轮询重新连上设备 2\n"), 1u) << lines;
}

} // namespace
