// test-labels: usb;concurrency
// test-language: zh_CN
#include "Quillon/Transport/USBTransportManager.hpp"
#include "tests/support/TransportHelpers.hpp"
#include "tests/support/UsbmuxStandIn.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using testing::TabletListener;
using testing::TempDir;
using testing::TestPairingStore;
using testing::UsbmuxStandIn;
using wire::ControlMessage;
namespace cm = wire::cm;

class Events {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        cv_.notify_all();
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

const PairedDevice kTablet{"8C1F6E52-0D4B-4A4E-9B8E-3B7C1D2E5F60", "iPad", wire::Bytes(32, 7), 1.0,
                           std::nullopt};
const cm::Hello kHello{kTablet.deviceID, wire::Bytes(32, 7), "iPad", 2};

// A manager polling the stand-in every 100 ms, with every callback and log line recorded.
class USBTransportManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        USBTransportOptions options;
        options.mux.socketPath = mux.socketPath();
        // Long enough for a loaded machine; only the silent daemon runs into it.
        options.mux.exchangeTimeout = 2000ms;
        options.pollInterval = 100ms;
        // The recorders are shared with the callbacks: a callback already running on a
        // transport thread may finish after the test let go of the manager.
        options.log = [log = log](std::string_view line) { log->add(std::string(line)); };
        manager = USBTransportManager::create(store, options);
        manager->onAccept = [events = events](const PairedDevice& d) {
            events->add("accept " + d.deviceName);
        };
        manager->onMessage = [events = events](std::span<const ControlMessage> burst,
                                               const std::string&) {
            for (const auto& m : burst) {
                events->add("message " + m.description());
            }
        };
        manager->onClose = [events = events](const std::optional<std::string>& id) {
            events->add("close " + (id ? id->substr(0, 4) : std::string("none")));
        };
        manager->onAvailabilityChange = [events = events](bool up) {
            events->add(up ? "available" : "unavailable");
        };
    }
    void TearDown() override { manager.reset(); }

    std::size_t connects() const {
        std::size_t n = 0;
        for (const auto& r : mux.requests()) {
            n += r.rfind("Connect", 0) == 0 ? 1 : 0;
        }
        return n;
    }

    TempDir dir;
    UsbmuxStandIn mux{dir.path() + "/usbmuxd"};
    TabletListener tablet;
    std::shared_ptr<TestPairingStore> store = std::make_shared<TestPairingStore>();
    std::shared_ptr<USBTransportManager> manager;
    std::shared_ptr<Events> events = std::make_shared<Events>();
    std::shared_ptr<Events> log = std::make_shared<Events>();
};

TEST_F(USBTransportManagerTest, NobodyPairedMeansListedButNeverConnected) {
    mux.attach({3, "SERIAL", "USB", tablet.port()});
    manager->start();
    manager->start(); // a second start changes nothing
    ASSERT_TRUE(mux.waitForRequests(4, 5000ms));
    EXPECT_EQ(connects(), 0u);
    EXPECT_EQ(tablet.accept(0ms), nullptr);
    EXPECT_EQ(manager->snapshot().connectedDeviceID, std::nullopt);
    EXPECT_TRUE(events->lines().empty());
    EXPECT_TRUE(log->lines().empty());
}

TEST_F(USBTransportManagerTest, PairedTabletConnectsIsAdmittedAndUnplugs) {
    store->save(kTablet);
    mux.attach({3, "SERIAL", "USB", tablet.port()});
    manager->start();
    auto stream = tablet.accept(5000ms);
    ASSERT_TRUE(stream) << "connected at the first poll";
    EXPECT_EQ(mux.requests().at(0), "ListDevices tag=1");
    EXPECT_EQ(mux.requests().at(1), "Connect tag=2 device=3 port=33216");
    EXPECT_EQ(manager->snapshot().connectedDeviceID, 3);

    ASSERT_TRUE(stream->send(kHello));
    const auto ack = stream->receive(5000ms);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->as<cm::HelloAck>(), (cm::HelloAck{0, 0, 2.0F})) << "no display";
    ASSERT_TRUE(stream->send(cm::Heartbeat{}));
    EXPECT_TRUE(stream->receive(5000ms)->is<cm::HeartbeatAck>());
    ASSERT_TRUE(stream->send(cm::ListApplications{}));
    ASSERT_TRUE(events->waitFor(3));
    manager->send(cm::ApplicationList{});
    EXPECT_TRUE(stream->receive(5000ms)->is<cm::ApplicationList>());

    mux.detach(3); // unplugged
    EXPECT_TRUE(stream->waitForEnd(5000ms));
    ASSERT_TRUE(events->waitFor(5));
    std::this_thread::sleep_for(300ms); // a few more polls
    EXPECT_EQ(events->lines(),
              (std::vector<std::string>{"available", "accept iPad", "message listApplications",
                                        "unavailable", "close 8C1F"}));
    EXPECT_EQ(connects(), 1u);
    EXPECT_EQ(manager->snapshot().connectedDeviceID, std::nullopt);
    EXPECT_TRUE(log->lines().empty());
    manager->send(cm::ApplicationList{}); // no session: discarded
}

TEST_F(USBTransportManagerTest, OnlyTheFirstOfTwoDevicesIsConnected) {
    store->save(kTablet);
    TabletListener second;
    mux.attach({3, "FIRST", "Network", second.port()}); // not a cable
    mux.attach({5, "A", "USB", tablet.port()});
    mux.attach({6, "B", "USB", second.port()});
    manager->start();
    auto stream = tablet.accept(5000ms);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(mux.waitForRequests(5, 5000ms));
    EXPECT_EQ(second.accept(0ms), nullptr);
    EXPECT_EQ(connects(), 1u);
    EXPECT_EQ(manager->snapshot().connectedDeviceID, 5);
}

// A refused tablet is connected again at each tick; the failure is logged once per run of
// failures and the recovery once.
TEST_F(USBTransportManagerTest, ConnectFailuresAreLoggedOncePerRun) {
    store->save(kTablet);
    mux.attach({3, "S", "USB", 0}); // nothing listens: result 3
    manager->start();
    ASSERT_TRUE(testing::waitUntil([&] { return connects() >= 3; }, 5000ms));
    mux.detach(3);
    mux.attach({3, "S", "USB", tablet.port()});
    auto stream = tablet.accept(5000ms);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->send(kHello));
    ASSERT_TRUE(stream->receive(5000ms));
    stream->close();
    ASSERT_TRUE(events->waitFor(4)); // available, accept, unavailable, close
    mux.detach(3);
    mux.attach({3, "S", "USB", 0});
    ASSERT_TRUE(testing::waitUntil([&] { return log->lines().size() >= 3; }, 5000ms));
    manager->stop();
    manager->snapshot();
    EXPECT_EQ(log->lines(), (std::vector<std::string>{
                                "【USB】轮询连接失败，进入静默重试：usbmuxd 拒绝连接（代码 3）",
                                "【USB】轮询重新连上设备 3",
                                "【USB】轮询连接失败，进入静默重试：usbmuxd 拒绝连接（代码 3）"}));
}

// usbmuxd gone (its socket file left behind) while a session runs: an empty listing drops the
// session; back again, the tablet is connected again. A daemon that does not answer or answers
// garbage counts as gone and does not hold the poll queue.
TEST_F(USBTransportManagerTest, DaemonGoneThenBack) {
    store->save(kTablet);
    mux.attach({3, "S", "USB", tablet.port()});
    manager->start();
    auto stream = tablet.accept(5000ms);
    ASSERT_TRUE(stream);
    // The relay reaches the tablet before the daemon answers the host's Connect.
    ASSERT_TRUE(testing::waitUntil(
        [&] { return manager->snapshot().connectedDeviceID == std::optional<std::int64_t>(3); },
        5000ms));
    mux.stop();
    EXPECT_TRUE(stream->waitForEnd(5000ms));
    ASSERT_TRUE(testing::waitUntil(
        [&] { return !manager->snapshot().connectedDeviceID.has_value(); }, 5000ms));
    for (auto fault : {UsbmuxStandIn::Fault::silence, UsbmuxStandIn::Fault::closeMidReply,
                       UsbmuxStandIn::Fault::badLength}) {
        mux.setFault(fault);
        mux.start();
        mux.clearRequests();
        ASSERT_TRUE(mux.waitForRequests(2, 10000ms)) << "the poll goes on";
        EXPECT_EQ(mux.requests().at(0).rfind("ListDevices", 0), 0u);
        mux.stop();
    }
    mux.setFault(UsbmuxStandIn::Fault::none);
    mux.start();
    auto again = tablet.accept(5000ms);
    ASSERT_TRUE(again);
    ASSERT_TRUE(again->send(kHello));
    EXPECT_TRUE(again->receive(5000ms)->is<cm::HelloAck>());
    EXPECT_EQ(log->lines(), std::vector<std::string>{})
        << "an absent daemon is not a failure worth a line; usbmuxd heard "
        << ::testing::PrintToString(mux.requests());
}

TEST_F(USBTransportManagerTest, StopClosesTheSessionAndEndsPolling) {
    store->save(kTablet);
    mux.attach({3, "S", "USB", tablet.port()});
    manager->start();
    auto stream = tablet.accept(5000ms);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->send(kHello));
    ASSERT_TRUE(stream->receive(5000ms));
    ASSERT_TRUE(events->waitFor(2));
    manager->stop();
    EXPECT_TRUE(stream->waitForEnd(5000ms));
    ASSERT_TRUE(events->waitFor(5));
    EXPECT_FALSE(manager->snapshot().started);
    const auto requests = mux.requests().size();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(mux.requests().size(), requests) << "no polling while stopped";
    // dropped (unavailable), then the session's own close one hop later
    EXPECT_EQ(events->lines(), (std::vector<std::string>{"available", "accept iPad", "unavailable",
                                                         "unavailable", "close 8C1F"}));

    manager->start();
    auto again = tablet.accept(5000ms);
    EXPECT_TRUE(again) << "started again";
}

} // namespace
} // namespace quillon
