// test-labels: usb;concurrency
#include "Quillon/Transport/USBSession.hpp"
#include "tests/support/TransportHelpers.hpp"
#include "tests/support/UsbmuxStandIn.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include <sys/socket.h>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using testing::TabletStream;
using testing::TestPairingStore;
using wire::ControlMessage;
namespace cm = wire::cm;

// What the session told its owner, one line per callback, in order.
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
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
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

class USBSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        store->save(kTablet);
        session = USBSession::create(fds[0], store, [] { return cm::HelloAck{1920, 1080, 1.5F}; });
        tablet = std::make_unique<TabletStream>(fds[1]);
        session->onAccept = [events = events](const PairedDevice& d) {
            // The device as stored: a cable admission does not stamp lastSeenAt.
            events->add(d == kTablet ? "accept " + d.deviceName : "accept (changed record)");
        };
        session->onMessage = [events = events](std::span<const ControlMessage> burst,
                                               const std::string& id) {
            events->add("read of " + std::to_string(burst.size()));
            for (const auto& m : burst) {
                events->add("message " + id.substr(0, 4) + " " + m.description());
            }
        };
        session->onClose = [events = events](const std::optional<std::string>& id) {
            events->add("close " + (id ? id->substr(0, 4) : std::string("none")));
        };
    }

    cm::Hello hello(std::uint16_t version = 2, wire::Bytes token = wire::Bytes(32, 7)) {
        return cm::Hello{kTablet.deviceID, std::move(token), "ignored", version};
    }

    std::shared_ptr<TestPairingStore> store = std::make_shared<TestPairingStore>();
    std::shared_ptr<USBSession> session;
    std::unique_ptr<TabletStream> tablet;
    // Shared with the callbacks, which run on the session's threads.
    std::shared_ptr<Events> events = std::make_shared<Events>();
};

TEST_F(USBSessionTest, AdmittedTabletIsAnsweredAndHeard) {
    session->start();
    // Before a hello nothing is answered and the session stays open.
    ASSERT_TRUE(tablet->send(cm::Heartbeat{}));
    ASSERT_TRUE(tablet->send(cm::PointerRelative{1, 2}));
    EXPECT_EQ(tablet->receive(200ms), std::nullopt);

    ASSERT_TRUE(tablet->send(hello()));
    const auto ack = tablet->receive(5000ms);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->as<cm::HelloAck>(), (cm::HelloAck{1920, 1080, 1.5F}));
    EXPECT_EQ(session->deviceID(), kTablet.deviceID);

    ASSERT_TRUE(tablet->send(cm::Heartbeat{}));
    const auto heartbeatAck = tablet->receive(5000ms);
    ASSERT_TRUE(heartbeatAck);
    EXPECT_TRUE(heartbeatAck->is<cm::HeartbeatAck>());

    // A second hello is ignored; an unknown frame type and an undecodable payload are dropped.
    ASSERT_TRUE(tablet->send(hello()));
    ASSERT_TRUE(tablet->sendBytes({0xEE, 0, 0, 0, 0}));
    ASSERT_TRUE(tablet->sendBytes(
        {static_cast<std::uint8_t>(wire::MessageType::pointerRelative), 1, 0, 0, 0, 9}));
    ASSERT_TRUE(tablet->send(cm::PointerRelative{3, 4}));
    ASSERT_TRUE(events->waitFor(3));
    // Frames of one read reach the owner together (one flush of their input).
    auto two = wire::FrameCodec::encode(ControlMessage(cm::PointerRelative{5, 6}).encode());
    const auto more = wire::FrameCodec::encode(ControlMessage(cm::ListApplications{}).encode());
    two.insert(two.end(), more.begin(), more.end());
    ASSERT_TRUE(tablet->sendBytes(two));
    ASSERT_TRUE(events->waitFor(6));

    // Replies written by the owner go on the same stream.
    session->send(cm::ApplicationList{});
    const auto list = tablet->receive(5000ms);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->is<cm::ApplicationList>());

    tablet->close(); // unplugged
    ASSERT_TRUE(events->waitFor(7));
    EXPECT_EQ(events->lines(), (std::vector<std::string>{
                                   "accept iPad",
                                   "read of 1",
                                   "message 8C1F pointerRelative(dx: 3.0, dy: 4.0)",
                                   "read of 2",
                                   "message 8C1F pointerRelative(dx: 5.0, dy: 6.0)",
                                   "message 8C1F listApplications",
                                   "close 8C1F",
                               }));
    EXPECT_EQ(session->state(), USBSessionState::stopped);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(events->lines().size(), 7u) << "one close";
}

TEST_F(USBSessionTest, RefusedHelloGetsItsErrorThenTheEnd) {
    struct Case {
        const char* name;
        cm::Hello hello;
        cm::Error error;
    };
    const Case cases[] = {
        {"old protocol, even from a stranger",
         cm::Hello{"unknown", wire::Bytes(32, 7), "x", 1},
         {426, "协议版本不一致，请把 Mac 端和 iPad 端都更新到最新版本再试"}},
        {"not paired", cm::Hello{"unknown", wire::Bytes(32, 7), "x", 2}, {401, "未配对设备"}},
        {"wrong token", hello(2, wire::Bytes(32, 8)), {403, "凭据无效"}},
        {"short token", hello(2, wire::Bytes(31, 7)), {403, "凭据无效"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        session->start();
        ASSERT_TRUE(tablet->send(c.hello));
        // Not heard after a refusal (the session may already have ended).
        (void)tablet->send(cm::PointerRelative{1, 1});
        const auto reply = tablet->receive(5000ms);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->as<cm::Error>(), c.error);
        EXPECT_TRUE(tablet->waitForEnd(5000ms));
        ASSERT_TRUE(events->waitFor(1));
        EXPECT_EQ(events->lines(), std::vector<std::string>{"close none"});
        EXPECT_EQ(session->deviceID(), std::nullopt);
        events->clear();
    }
}

// stop() from any of the threads that may call it: one close, the blocked reader wakes, the
// tablet sees the end.
TEST_F(USBSessionTest, ConcurrentStopsActOnce) {
    session->start();
    ASSERT_TRUE(tablet->send(hello()));
    ASSERT_TRUE(tablet->receive(5000ms));
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([this] { session->stop(); });
    }
    session->send(cm::HeartbeatAck{}, [this] { session->stop(); });
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_TRUE(tablet->waitForEnd(5000ms));
    ASSERT_TRUE(events->waitFor(2));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(events->lines(), (std::vector<std::string>{"accept iPad", "close 8C1F"}));
}

TEST_F(USBSessionTest, WritesAfterTheEndNeitherKillNorHang) {
    session->start();
    ASSERT_TRUE(tablet->send(hello()));
    ASSERT_TRUE(tablet->receive(5000ms));
    // The tablet vanishes while the host still writes: no SIGPIPE, and every completion runs.
    tablet->close();
    std::mutex m;
    std::condition_variable cv;
    int completions = 0;
    for (int i = 0; i < 50; ++i) {
        session->send(cm::ApplicationList{{wire::AppEntry{"a", "b", wire::Bytes(4000, 1)}}}, [&] {
            std::lock_guard lock(m);
            ++completions;
            cv.notify_all();
        });
    }
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, 5000ms, [&] { return completions == 50; }));
    lock.unlock();
    ASSERT_TRUE(events->waitFor(2));
    EXPECT_EQ(events->lines(), (std::vector<std::string>{"accept iPad", "close 8C1F"}));

    // A stopped session still runs the completion of a later send.
    bool ran = false;
    session->send(cm::HeartbeatAck{}, [&] {
        std::lock_guard l(m);
        ran = true;
        cv.notify_all();
    });
    lock.lock();
    EXPECT_TRUE(cv.wait_for(lock, 5000ms, [&] { return ran; }));
}

TEST_F(USBSessionTest, AnOversizedFrameEndsTheSession) {
    session->start();
    // A header announcing more than the pre-admission limit cannot be resynchronised.
    ASSERT_TRUE(tablet->sendBytes(
        {static_cast<std::uint8_t>(wire::MessageType::hello), 0xff, 0xff, 0xff, 0x00}));
    EXPECT_TRUE(tablet->waitForEnd(5000ms));
    ASSERT_TRUE(events->waitFor(1));
    EXPECT_EQ(events->lines(), std::vector<std::string>{"close none"});
}

TEST_F(USBSessionTest, DroppedWhileBlockedInAReadEndsAndClosesItsSocket) {
    session->start();
    ASSERT_TRUE(tablet->send(hello()));
    ASSERT_TRUE(tablet->receive(5000ms));
    ASSERT_TRUE(events->waitFor(1));
    std::weak_ptr<USBSession> weak = session;
    session->stop();
    session.reset();
    EXPECT_TRUE(tablet->waitForEnd(5000ms));
    EXPECT_TRUE(testing::waitUntil([&] { return weak.expired(); }, 5000ms))
        << "the reader lets go of a stopped session";
    EXPECT_EQ(events->lines(), (std::vector<std::string>{"accept iPad", "close 8C1F"}));
}

// The same reply budget as on Wi-Fi: a tablet that asks for application lists and never reads
// them is disconnected, whether its replies outgrow the budget or merely stop leaving, and a
// tablet that reads slowly keeps its session and gets every reply.
TEST_F(USBSessionTest, ATabletThatDoesNotReadItsRepliesIsDisconnected) {
    struct Case {
        const char* name;
        USBSession::Limits limits;
        bool reads;
        bool disconnected;
    };
    const Case cases[] = {
        {"replies beyond the budget", {{2u << 20, 4096}, 60000ms}, false, true},
        {"no byte taken for the stall limit", {{64u << 20, 4096}, 500ms}, false, true},
        {"a slow reader", {{2u << 20, 4096}, 2000ms}, true, false},
    };
    // About 480 KB, as a catalog with icons makes.
    const cm::ApplicationList list{
        std::vector<wire::AppEntry>(8, wire::AppEntry{"a", "b", wire::Bytes(60000, 1)})};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        events->clear();
        auto s = USBSession::create(
            fds[0], store,
            [] {
                return cm::HelloAck{1, 1, 1.0F};
            },
            c.limits);
        TabletStream peer(fds[1]);
        s->onClose = [events = events](const std::optional<std::string>&) { events->add("close"); };
        s->start();
        ASSERT_TRUE(peer.send(hello()));
        ASSERT_TRUE(peer.receive(5000ms));
        // Twelve lists, one after the other (the reader takes each before the next).
        int received = 0;
        for (int i = 0; i < 12 && events->lines().empty(); ++i) {
            s->send(list);
            if (c.reads) {
                std::this_thread::sleep_for(100ms);
                const auto reply = peer.receive(5000ms);
                received += reply && reply->is<cm::ApplicationList>() ? 1 : 0;
            }
        }
        if (c.disconnected) {
            EXPECT_TRUE(events->waitFor(1, 5000ms));
            EXPECT_EQ(s->state(), USBSessionState::stopped);
        } else {
            EXPECT_EQ(received, 12);
            EXPECT_EQ(s->state(), USBSessionState::running);
            EXPECT_TRUE(events->lines().empty());
        }
        s->stop();
    }
}

} // namespace
} // namespace quillon
