// test-labels: transport;usb;concurrency
#include "Quillon/Transport/Connection.hpp"

#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Quillon/Transport/HelloAck.hpp"
#include "tests/support/TransportHelpers.hpp"
#include "tests/support/UsbmuxStandIn.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <limits>
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
using P = ConnectionPhase;
using E = ConnectionEvent;

TEST(ConnectionTransitionTest, EveryPhaseAndEvent) {
    const std::vector<P> phases = {P::created,    P::awaitingRoom, P::open,
                                   P::readPaused, P::draining,     P::closed};
    const std::vector<E> events = {E::started,       E::startedRoomless, E::seated, E::outputFull,
                                   E::outputDrained, E::drain,           E::closed};
    struct Legal {
        P from;
        E event;
        P to;
    };
    // Everything else is refused, closed included: nothing leaves it.
    const std::vector<Legal> legal = {
        {P::created, E::started, P::open},
        {P::created, E::startedRoomless, P::awaitingRoom},
        {P::awaitingRoom, E::seated, P::open},
        {P::open, E::outputFull, P::readPaused},
        {P::readPaused, E::outputDrained, P::open},
        {P::open, E::drain, P::draining},
        {P::readPaused, E::drain, P::draining},
        {P::created, E::closed, P::closed},
        {P::awaitingRoom, E::closed, P::closed},
        {P::open, E::closed, P::closed},
        {P::readPaused, E::closed, P::closed},
        {P::draining, E::closed, P::closed},
    };
    for (const auto from : phases) {
        for (const auto event : events) {
            std::optional<P> expected;
            for (const auto& l : legal) {
                if (l.from == from && l.event == event) {
                    expected = l.to;
                }
            }
            EXPECT_EQ(connectionTransition(from, event), expected)
                << rawValue(from) << " + " << rawValue(event);
        }
    }
}

TEST(HelloAckTest, TheDisplaysSizeInWholePointsAndItsScale) {
    struct Case {
        const char* name;
        platform::Rect bounds;
        double scale;
        cm::HelloAck expected;
    };
    const Case cases[] = {
        {"fractions cut", {0, 0, 1920.7, 1080.2}, 1.5, {1920, 1080, 1.5F}},
        {"negative and zero", {0, 0, -5, 0}, 1.0, {0, 0, 1.0F}},
        {"not a number", {0, 0, std::numeric_limits<double>::quiet_NaN(), 10}, 2.0, {0, 10, 2.0F}},
        {"beyond the field", {0, 0, 1e12, 4294967295.0}, 1.0, {4294967295u, 4294967295u, 1.0F}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const platform::FixedDisplayGeometry display(c.bounds, c.scale);
        EXPECT_EQ(helloAckFor(&display), c.expected);
    }
    EXPECT_EQ(helloAckFor(nullptr), (cm::HelloAck{0, 0, 2.0F})) << "no display";
}

// What the connection told its owner, one line per call, in order (the calls come on the I/O
// queue; the test reads from its own thread).
class RecordingOwner : public ConnectionOwner {
public:
    void connectionAdmitted(Connection&, const PairedDevice& d) override {
        add("accept " + d.deviceName + (d.lastSeenAt ? " (stamped)" : ""));
    }
    void connectionReceived(Connection&, std::span<const ControlMessage> burst,
                            const std::string& id) override {
        messages += burst.size();
        if (quiet) {
            return;
        }
        add("read of " + std::to_string(burst.size()));
        for (const auto& m : burst) {
            add("message " + id.substr(0, 4) + " " + m.description());
        }
    }
    void connectionRefused(Connection&, std::uint16_t code, const std::string&) override {
        add("refused " + std::to_string(code));
    }
    void connectionClosed(Connection& c) override {
        const auto& id = c.session().deviceID();
        add("close " + (id ? id->substr(0, 4) : std::string("none")));
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    std::atomic<std::size_t> messages{0};
    std::atomic<bool> quiet{false}; // count the messages, record no line for them

    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
    }

private:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        cv_.notify_all();
    }
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

const PairedDevice kTablet{"8C1F6E52-0D4B-4A4E-9B8E-3B7C1D2E5F60", "iPad", wire::Bytes(32, 7), 1.0,
                           std::nullopt};

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A cable connection (the cable's session rules, no TLS) over one end of a socket pair, run on
// an I/O queue of its own; the test plays the tablet on the other end.
class CableConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { store->save(kTablet); }
    void TearDown() override {
        if (connection) {
            io->sync([c = connection] { c->closeQuietly(); });
        }
    }

    // `early`: what the tablet has sent before the connection starts reading.
    void open(Connection::Options options = {}, const wire::Bytes& early = {}) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        tablet = std::make_unique<TabletStream>(fds[1]);
        if (!early.empty()) {
            const int room = 4 << 20;
            ASSERT_EQ(::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room), 0);
            ASSERT_TRUE(tablet->sendBytes(early));
        }
        options.rules = SessionRules::usb();
        io->sync([&] {
            Connection::Socket socket(io->context());
            socket.assign(asio::generic::stream_protocol(AF_UNIX, 0), fds[0]);
            socket.non_blocking(true);
            connection = Connection::create(std::move(socket), options, services, buffers, owner);
            connection->start();
        });
    }

    ConnectionPhase phase() {
        ConnectionPhase p = ConnectionPhase::created;
        io->sync([&] { p = connection->phase(); });
        return p;
    }

    void send(const ControlMessage& message) {
        io->async([c = connection, message] { c->send(message); });
    }

    cm::Hello hello(std::uint16_t version = 2, wire::Bytes token = wire::Bytes(32, 7)) {
        return cm::Hello{kTablet.deviceID, std::move(token), "ignored", version};
    }

    std::shared_ptr<TestPairingStore> store = std::make_shared<TestPairingStore>();
    SessionServices services{*store, wallNow,
                             [] {
                                 return cm::HelloAck{1920, 1080, 1.5F};
                             },
                             nullptr, nullptr};
    ConnectionBuffers buffers;
    RecordingOwner owner;
    std::shared_ptr<platform::SerialQueue> io = quillon::testing::makeIOQueue();
    std::shared_ptr<Connection> connection;
    std::unique_ptr<TabletStream> tablet;
};

TEST_F(CableConnectionTest, AdmittedTabletIsAnsweredAndHeard) {
    open();
    // Before a hello nothing is answered and the connection stays open.
    ASSERT_TRUE(tablet->send(cm::Heartbeat{}));
    ASSERT_TRUE(tablet->send(cm::PointerRelative{1, 2}));
    EXPECT_EQ(tablet->receive(200ms), std::nullopt);

    ASSERT_TRUE(tablet->send(hello()));
    const auto ack = tablet->receive(5000ms);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->as<cm::HelloAck>(), (cm::HelloAck{1920, 1080, 1.5F}));

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
    ASSERT_TRUE(owner.waitFor(3));
    // Frames of one read reach the owner together (one flush of their input).
    auto two = wire::FrameCodec::encode(ControlMessage(cm::PointerRelative{5, 6}).encode());
    const auto more = wire::FrameCodec::encode(ControlMessage(cm::ListApplications{}).encode());
    two.insert(two.end(), more.begin(), more.end());
    ASSERT_TRUE(tablet->sendBytes(two));
    ASSERT_TRUE(owner.waitFor(6));

    // Replies written by the owner go on the same stream.
    send(cm::ApplicationList{});
    const auto list = tablet->receive(5000ms);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->is<cm::ApplicationList>());

    tablet->close(); // unplugged
    ASSERT_TRUE(owner.waitFor(7));
    EXPECT_EQ(owner.lines(), (std::vector<std::string>{
                                 "accept iPad",
                                 "read of 1",
                                 "message 8C1F pointerRelative(dx: 3.0, dy: 4.0)",
                                 "read of 2",
                                 "message 8C1F pointerRelative(dx: 5.0, dy: 6.0)",
                                 "message 8C1F listApplications",
                                 "close 8C1F",
                             }));
    EXPECT_EQ(phase(), ConnectionPhase::closed);
    EXPECT_FALSE(store->device(kTablet.deviceID)->lastSeenAt) << "a cable stamps no time";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(owner.lines().size(), 7u) << "one close";
}

// A burst larger than one read (64 KiB), all of it waiting before the first read, arrives whole
// although nothing follows it: what a full read leaves behind is read on without waiting for
// the peer to send more (the reactor tells of new bytes only).
TEST_F(CableConnectionTest, ABurstLargerThanOneReadArrivesWhole) {
    owner.quiet = true;
    auto burst = wire::FrameCodec::encode(ControlMessage(hello()).encode());
    const auto move = wire::FrameCodec::encode(ControlMessage(cm::PointerRelative{1, 1}).encode());
    for (int i = 0; i < 20000; ++i) {
        burst.insert(burst.end(), move.begin(), move.end());
    }
    ASSERT_GT(burst.size(), 3u * 65536);
    open({}, burst);
    EXPECT_TRUE(tablet->receive(5000ms)) << "helloAck";
    EXPECT_TRUE(testing::waitUntil([&] { return owner.messages == 20000; }, 5000ms))
        << owner.messages << " of 20000";
}

TEST_F(CableConnectionTest, RefusedHelloGetsItsErrorThenTheEnd) {
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
        open();
        ASSERT_TRUE(tablet->send(c.hello));
        // Not heard after a refusal (the connection may already have ended).
        (void)tablet->send(cm::PointerRelative{1, 1});
        const auto reply = tablet->receive(5000ms);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->as<cm::Error>(), c.error);
        EXPECT_TRUE(tablet->waitForEnd(5000ms));
        ASSERT_TRUE(owner.waitFor(2));
        EXPECT_EQ(owner.lines(), (std::vector<std::string>{
                                     "refused " + std::to_string(c.error.code), "close none"}));
        owner.clear();
    }
}

// Closes asked for from several threads at once (each through the queue): one end, one report,
// and the tablet sees the end.
TEST_F(CableConnectionTest, ClosesFromManyThreadsActOnce) {
    open();
    ASSERT_TRUE(tablet->send(hello()));
    ASSERT_TRUE(tablet->receive(5000ms));
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([this] { io->async([c = connection] { c->close(); }); });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_TRUE(tablet->waitForEnd(5000ms));
    ASSERT_TRUE(owner.waitFor(2));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(owner.lines(), (std::vector<std::string>{"accept iPad", "close 8C1F"}));
}

TEST_F(CableConnectionTest, WritesAfterTheEndNeitherKillNorHang) {
    open();
    ASSERT_TRUE(tablet->send(hello()));
    ASSERT_TRUE(tablet->receive(5000ms));
    // The tablet vanishes while the host still writes: no SIGPIPE, one end.
    tablet->close();
    for (int i = 0; i < 50; ++i) {
        send(cm::ApplicationList{{wire::AppEntry{"a", "b", wire::Bytes(4000, 1)}}});
    }
    ASSERT_TRUE(owner.waitFor(2));
    io->sync([] {}); // every send ran
    EXPECT_EQ(owner.lines(), (std::vector<std::string>{"accept iPad", "close 8C1F"}));
    EXPECT_EQ(phase(), ConnectionPhase::closed);
}

TEST_F(CableConnectionTest, AnOversizedFrameEndsTheConnection) {
    open();
    // A header announcing more than the pre-admission limit cannot be resynchronised.
    ASSERT_TRUE(tablet->sendBytes(
        {static_cast<std::uint8_t>(wire::MessageType::hello), 0xff, 0xff, 0xff, 0x00}));
    EXPECT_TRUE(tablet->waitForEnd(5000ms));
    ASSERT_TRUE(owner.waitFor(1));
    EXPECT_EQ(owner.lines(), std::vector<std::string>{"close none"});
}

// An owner that goes lets go of its connection: the tablet sees the end, the owner hears
// nothing more, and no handler keeps the connection.
TEST_F(CableConnectionTest, ClosedQuietlyWhileReadingEndsSilently) {
    open();
    ASSERT_TRUE(tablet->send(hello()));
    ASSERT_TRUE(tablet->receive(5000ms));
    ASSERT_TRUE(owner.waitFor(1));
    std::weak_ptr<Connection> weak = connection;
    io->sync([c = std::move(connection)] { c->closeQuietly(); });
    EXPECT_TRUE(tablet->waitForEnd(5000ms));
    EXPECT_TRUE(testing::waitUntil([&] { return weak.expired(); }, 5000ms))
        << "no handler holds a connection closed quietly";
    EXPECT_EQ(owner.lines(), std::vector<std::string>{"accept iPad"});
}

// The same reply budget as on Wi-Fi: a tablet that asks for application lists and never reads
// them is disconnected, whether its replies outgrow the budget or merely stop leaving, and a
// tablet that reads slowly keeps its connection and gets every reply.
TEST_F(CableConnectionTest, ATabletThatDoesNotReadItsRepliesIsDisconnected) {
    struct Case {
        const char* name;
        ReplyQueue::Limits replies;
        std::chrono::milliseconds stall;
        bool reads;
        bool disconnected;
    };
    const Case cases[] = {
        {"replies beyond the budget", {2u << 20, 4096}, 60000ms, false, true},
        {"no byte taken for the stall limit", {64u << 20, 4096}, 500ms, false, true},
        {"a slow reader", {2u << 20, 4096}, 2000ms, true, false},
    };
    // About 480 KB, as a catalog with icons makes.
    const cm::ApplicationList list{
        std::vector<wire::AppEntry>(8, wire::AppEntry{"a", "b", wire::Bytes(60000, 1)})};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        owner.clear();
        Connection::Options options;
        options.replies = c.replies;
        options.writeStallLimit = c.stall;
        open(options);
        ASSERT_TRUE(tablet->send(hello()));
        ASSERT_TRUE(tablet->receive(5000ms));
        ASSERT_TRUE(owner.waitFor(1));
        // Twelve lists, one after the other (the reader takes each before the next).
        int received = 0;
        for (int i = 0; i < 12 && owner.lines().size() == 1; ++i) {
            send(list);
            if (c.reads) {
                std::this_thread::sleep_for(100ms);
                const auto reply = tablet->receive(5000ms);
                received += reply && reply->is<cm::ApplicationList>() ? 1 : 0;
            }
        }
        if (c.disconnected) {
            EXPECT_TRUE(owner.waitFor(2, 5000ms));
            EXPECT_EQ(phase(), ConnectionPhase::closed);
        } else {
            EXPECT_EQ(received, 12);
            EXPECT_EQ(phase(), ConnectionPhase::open);
            EXPECT_EQ(owner.lines().size(), 1u);
        }
        io->sync([cn = connection] { cn->closeQuietly(); });
    }
}

} // namespace
} // namespace quillon
