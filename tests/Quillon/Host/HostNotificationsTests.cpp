// test-labels: coordinator;concurrency
// test-language: zh_CN
// Desktop notifications: which changes of the host are news (a table over the rules), and what
// reaches a notification server on a private session bus (a stand-in of the test's): the
// texts, a tag's later notification replacing the earlier one, the setting that turns them off.
#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Input/RecordingInputBackend.hpp"
#include "Platform/Notifications/DesktopNotifier.hpp"
#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Host/HostNotifications.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Input/EventInjector.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/DbusFixture.hpp"
#include "tests/support/NotificationsStandIn.hpp"

#include <gtest/gtest.h>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;
using platform::DesktopNotification;

namespace {

PairedDevice device(const std::string& id, const std::string& name) {
    return PairedDevice{id, name, wire::Bytes(32, 1), 1.0, std::nullopt};
}

const PairedDevice kPro = device("AAAA-1", "iPad Pro");
const PairedDevice kAir = device("BBBB-2", "Kitchen iPad");

HostState with(std::vector<PairedDevice> devices, std::vector<std::string> connected = {}) {
    HostState s;
    s.devices = std::move(devices);
    s.connectedIDs = std::move(connected);
    if (!s.connectedIDs.empty()) {
        s.activeChannel = HostChannel::wifi;
    }
    return s;
}

std::vector<std::string> summaries(const std::vector<DesktopNotification>& notes) {
    std::vector<std::string> out;
    for (const auto& n : notes) {
        out.push_back(n.summary + " | " + n.body + " | " + n.icon);
    }
    return out;
}

TEST(HostNotifications, EachChangeThatIsNewsIsToldOnce) {
    HostState locked = with({kPro});
    locked.isScreenLocked = true;
    HostState unreadable;
    unreadable.storeProblem = "x";
    HostState refusedOnCable = with({kPro});
    refusedOnCable.notice = HostNotice{HostNotice::Kind::badToken, HostChannel::usb, ""};
    HostState wrongPIN = with({kPro});
    wrongPIN.notice = HostNotice{HostNotice::Kind::wrongPIN, HostChannel::wifi, "192.0.2.7"};
    HostState undiscoverable = with({kPro});
    undiscoverable.discoverable = false;
    const struct {
        const char* name;
        HostState before;
        bool permittedBefore;
        HostState after;
        bool permittedAfter;
        std::vector<std::string> told;
    } cases[] = {
        {"nothing changed", with({kPro}), true, with({kPro}), true, {}},
        {"a device paired",
         with({kPro}),
         true,
         with({kPro, kAir}),
         true,
         {"已与 Kitchen iPad 配对 | 以后它会自动连接。 | quillon-connected"}},
        {"records readable again: old devices are no news",
         unreadable,
         true,
         with({kPro, kAir}),
         true,
         {}},
        {"connected",
         with({kPro}),
         true,
         with({kPro}, {"AAAA-1"}),
         true,
         {"iPad Pro 已连接 | 通过 WiFi。 | quillon-connected"}},
        {"disconnected",
         with({kPro}, {"AAAA-1"}),
         true,
         with({kPro}),
         true,
         {"iPad Pro 已断开 |  | quillon"}},
        {"dropped by the screen lock: the lock's doing",
         with({kPro}, {"AAAA-1"}),
         true,
         locked,
         true,
         {}},
        {"a refused device",
         with({kPro}),
         true,
         refusedOnCable,
         true,
         {"有设备被拒绝 | 连接被拒绝（配对凭据不符，请解除配对后重新配对）：数据线 | "
          "quillon-attention"}},
        {"a wrong PIN",
         with({kPro}),
         true,
         wrongPIN,
         true,
         {"配对码错误 | 配对被拒绝（配对码不对）：192.0.2.7 | quillon-attention"}},
        {"the same notice again is no news", wrongPIN, true, wrongPIN, true, {}},
        {"input permission lost",
         with({kPro}),
         true,
         with({kPro}),
         false,
         {"来自平板的输入已失效 | Quillon 已无法在本会话中发送输入。它的窗口里有原因和解决办法。 "
          "| quillon-attention"}},
        {"input permission back is no news", with({kPro}), false, with({kPro}), true, {}},
        {"tablets cannot find the host",
         with({kPro}),
         true,
         undiscoverable,
         true,
         {"平板发现不了本机 | avahi-daemon 没有运行，所以平板上的应用不会列出本机。已经连接的平板"
          "保持连接。 | quillon-attention"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            summaries(notificationsBetween(c.before, c.permittedBefore, c.after, c.permittedAfter)),
            c.told)
            << c.name;
    }
    // One device connecting twice shows one bubble: the same tag replaces it.
    const auto up = notificationsBetween(with({kPro}), true, with({kPro}, {"AAAA-1"}), true);
    const auto down = notificationsBetween(with({kPro}, {"AAAA-1"}), true, with({kPro}), true);
    EXPECT_EQ(up.at(0).tag, down.at(0).tag);
}

// The real notifier against a notification server on a private session bus: texts as they
// are (markup escaped), a tag's later notification replacing the earlier one by its id.
TEST(HostNotifications, TheDesktopsServerReceivesThem) {
    DbusFixture bus(DbusFixture::Kind::session);
    bus.exportAddress();
    NotificationsStandIn server(bus.address());
    {
        auto notifier = platform::makeFreedesktopNotifier("Quillon");
        notifier->notify({"device-A", "iPad <b>Pro</b> 已连接", "通过 WiFi & more", "quillon",
                          DesktopNotification::Urgency::low});
        ASSERT_TRUE(server.waitFor("iPad <b>Pro</b> 已连接", 5s));
        notifier->notify(
            {"device-A", "iPad 已断开", "", "quillon", DesktopNotification::Urgency::critical});
        ASSERT_TRUE(server.waitFor("iPad 已断开", 5s));
        notifier->notify({"other", "x", "", "quillon", DesktopNotification::Urgency::normal});
        ASSERT_TRUE(server.waitFor("x", 5s));
    }
    const auto got = server.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].appName, "Quillon");
    EXPECT_EQ(got[0].body, "通过 WiFi &amp; more");
    EXPECT_EQ(got[0].urgency, 0);
    EXPECT_EQ(got[0].replacesID, 0u);
    EXPECT_EQ(got[1].replacesID, got[0].id) << "the same tag replaces the bubble";
    EXPECT_EQ(got[1].urgency, 2);
    EXPECT_EQ(got[2].replacesID, 0u);
}

class RecordingNotifier : public platform::DesktopNotifier {
public:
    void notify(const DesktopNotification& n) override { told.push_back(n.summary); }
    std::vector<std::string> told;
};

// The host's notifications follow its coordinator and the permission, and the setting
// "notifications.enabled" false silences them.
TEST(HostNotifications, FollowTheHostUntilSwitchedOff) {
    TempDir dir;
    platform::Defaults defaults(dir.path() + "/defaults.json");
    auto main = std::make_shared<platform::IoContextMainQueue>();
    auto store = std::make_shared<InMemoryPairingStore>();
    auto geometry =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 800, 600}, 1.0);
    auto timers = std::make_shared<platform::ManualScheduler>();
    auto injector =
        EventInjector::create({.backend = std::make_shared<platform::RecordingInputBackend>(),
                               .geometry = geometry,
                               .defaults = defaults,
                               .scheduler = timers});
    HostCoordinator::Options options;
    options.server.advertise = false;
    auto coordinator = HostCoordinator::create(
        store, injector, false, nullptr,
        {main, defaults,
         std::make_shared<InputDiagnostics>([](std::string_view) {}, [] { return false; }), nullptr,
         nullptr},
        options);
    auto notifier = std::make_shared<RecordingNotifier>();
    bool permitted = true;
    auto notifications = std::make_shared<HostNotifications>(
        coordinator, main, notifier, defaults,
        HostNotifications::Options{[&] { return permitted; }, 20ms});
    notifications->attach();

    store->save(kPro);
    coordinator->refreshDevices();
    permitted = false;
    ASSERT_TRUE(main->runUntil([&] { return notifier->told.size() == 2; }, 2s));
    EXPECT_EQ(notifier->told,
              (std::vector<std::string>{"已与 iPad Pro 配对", "来自平板的输入已失效"}));

    defaults.set("notifications.enabled", false);
    permitted = true;
    main->runFor(60ms);
    permitted = false;
    store->save(kAir);
    coordinator->refreshDevices();
    main->runFor(100ms);
    EXPECT_EQ(notifier->told.size(), 2u) << "switched off: nothing more";
    notifications.reset();
    coordinator.reset();
    main->runFor(50ms);
}

// Without a server (or a bus) nothing is shown and nothing blocks.
TEST(HostNotifications, NoServerIsNoProblem) {
    DbusFixture bus(DbusFixture::Kind::session);
    bus.exportAddress();
    const auto started = std::chrono::steady_clock::now();
    {
        auto notifier = platform::makeFreedesktopNotifier("Quillon");
        notifier->notify({"t", "nobody listens", "", "quillon"});
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

} // namespace
