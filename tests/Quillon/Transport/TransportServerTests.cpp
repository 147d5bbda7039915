// test-labels: transport;concurrency
// test-timeout: 180
// test-language: zh_CN
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/PSKParameters.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TransportHelpers.hpp"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;
namespace cm = quillon::wire::cm;
using wire::ControlMessage;

namespace {

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class TransportServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        mainQueue = std::make_shared<platform::IoContextMainQueue>();
        display = std::make_shared<platform::FixedDisplayGeometry>(
            platform::Rect{0, 0, 1920.7, 1080.2}, 1.0);
    }

    void makeServer(TransportServerOptions options = {}) {
        if (!options.display) {
            options.display = display;
        }
        options.advertise = false;
        server = std::make_unique<TransportServer>(store, std::move(options));
        server->setDelegate(delegate);
        server->start();
    }

    // Pairs over a fresh pairing window and returns what the tablet keeps.
    PairedCredentials pairDevice(const std::string& name = "iPad") {
        const std::string pin = server->beginPairing(wallNow());
        auto client = connectPairing(*server, pin, openWindowSalt(*server));
        client->send(cm::PairRequest{name});
        auto reply = client->receive(5s);
        EXPECT_TRUE(reply && reply->is<cm::PairResult>());
        if (!reply || !reply->is<cm::PairResult>()) {
            return {};
        }
        const auto& result = reply->as<cm::PairResult>();
        return {result.deviceID, result.token, result.hostSecret};
    }

    // Connects on the main channel and gets admitted.
    std::unique_ptr<wire::WireClient> admit(const PairedCredentials& creds) {
        auto client = connectMain(*server, creds.hostSecret);
        client->send(helloFor(creds));
        auto ack = client->receive(5s);
        EXPECT_TRUE(ack && ack->is<cm::HelloAck>());
        return client;
    }

    std::shared_ptr<platform::IoContextMainQueue> mainQueue;
    std::shared_ptr<platform::FixedDisplayGeometry> display;
    std::shared_ptr<TestPairingStore> store = std::make_shared<TestPairingStore>();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::unique_ptr<TransportServer> server;
};

TEST_F(TransportServerTest, PairsInsideTheWindowOnceThenAdmitsTheDevice) {
    makeServer();
    const std::string pin = server->beginPairing(wallNow());
    ASSERT_EQ(pin.size(), 6u);
    ASSERT_TRUE(server->pairingPort().has_value());
    const wire::Bytes salt = openWindowSalt(*server);
    ASSERT_EQ(salt.size(), 16u);

    auto pairing = connectPairing(*server, pin, salt);
    // Anything but a pairRequest on the pairing channel is ignored.
    pairing->send(cm::ListApplications{});
    pairing->send(cm::PairRequest{"Lin's iPad"});
    auto reply = pairing->receive(5s);
    ASSERT_TRUE(reply && reply->is<cm::PairResult>()) << (reply ? reply->description() : "none");
    const auto result = reply->as<cm::PairResult>();
    EXPECT_TRUE(result.accepted);
    EXPECT_EQ(result.deviceID.size(), 36u);
    EXPECT_EQ(result.token.size(), 32u);
    EXPECT_EQ(result.hostSecret, store->hostSecret());
    const auto stored = store->device(result.deviceID);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->deviceName, "Lin's iPad");
    EXPECT_EQ(stored->token, result.token);
    EXPECT_FALSE(stored->lastSeenAt);
    EXPECT_TRUE(std::holds_alternative<PairingSession::Idle>(server->pairingState()));

    // One window pairs one device: the same connection asking again is refused and closed.
    pairing->send(cm::PairRequest{"again"});
    reply = pairing->receive(5s);
    ASSERT_TRUE(reply && reply->is<cm::Error>());
    EXPECT_EQ(reply->as<cm::Error>(), (cm::Error{408, "配对窗口已关闭"}));
    EXPECT_TRUE(pairing->waitForClose(5s));

    // The spent window's listener stays until its owner, told by didPair, ends it.
    EXPECT_EQ(delegate->events(), std::vector<std::string>{"pair " + result.deviceID});
    mainQueue->runFor(100ms);
    EXPECT_TRUE(server->pairingPort());
    EXPECT_TRUE(server->endPairingIfSpent());
    EXPECT_FALSE(server->pairingPort());

    // The helloAck is on the wire before didAccept runs.
    std::atomic<bool> ackBeforeAccept{false};
    std::unique_ptr<wire::WireClient> client = connectMain(*server, result.hostSecret);
    const int clientFd = client->fd();
    delegate->onAccept = [&](const PairedDevice&) {
        // The server's queue is held here, so bytes it had not written yet cannot arrive; the
        // test thread does not read until didAccept has returned.
        pollfd p{clientFd, POLLIN, 0};
        ackBeforeAccept = poll(&p, 1, 2000) == 1;
    };
    const double before = wallNow();
    client->send(helloFor({result.deviceID, result.token, result.hostSecret}));
    ASSERT_TRUE(delegate->waitForCount(2, 5s));
    auto ack = client->receive(5s);
    ASSERT_TRUE(ack && ack->is<cm::HelloAck>());
    EXPECT_EQ(ack->as<cm::HelloAck>(), (cm::HelloAck{1920, 1080, 1.0F}));
    EXPECT_TRUE(ackBeforeAccept);
    EXPECT_EQ(delegate->events().back(), "accept " + result.deviceID);
    const auto seen = store->device(result.deviceID)->lastSeenAt;
    ASSERT_TRUE(seen);
    EXPECT_GE(*seen, before);
    EXPECT_EQ(server->connectedDeviceIDs(), std::vector<std::string>{result.deviceID});
}

TEST_F(TransportServerTest, ANewWindowReplacesTheOldOneAndOutlivesTheOldOnesEnd) {
    makeServer();
    const std::string firstPin = server->beginPairing(wallNow());
    const auto firstSalt = openWindowSalt(*server);
    const std::uint16_t firstPort = *server->pairingPort();
    auto paired = connectPairing(*server, firstPin, firstSalt);
    paired->send(cm::PairRequest{"first"});
    ASSERT_TRUE(paired->receive(5s));
    // The owner has not yet ended the spent window when the user opens the next one; that
    // window must survive the owner's late end.
    const std::string secondPin = server->beginPairing(wallNow());
    const auto secondSalt = openWindowSalt(*server);
    EXPECT_NE(secondSalt, firstSalt);
    EXPECT_NE(*server->pairingPort(), firstPort);
    EXPECT_LT(wire::connectTCP("127.0.0.1", firstPort), 0) << "the first listener is gone";
    EXPECT_FALSE(server->endPairingIfSpent());
    ASSERT_TRUE(server->pairingPort());
    auto second = connectPairing(*server, secondPin, secondSalt);
    second->send(cm::PairRequest{"second"});
    auto reply = second->receive(5s);
    ASSERT_TRUE(reply && reply->is<cm::PairResult>());

    server->endPairing();
    server->endPairing(); // nothing left to end
    EXPECT_FALSE(server->pairingPort());
    EXPECT_TRUE(std::holds_alternative<PairingSession::Idle>(server->pairingState()));
}

TEST_F(TransportServerTest, PairingRefusalsCloseTheConnectionAndReportNothing) {
    makeServer();
    // A window opened 61 seconds ago has expired, though its listener still runs.
    std::string pin = server->beginPairing(wallNow() - 61);
    auto late = connectPairing(*server, pin, openWindowSalt(*server));
    late->send(cm::PairRequest{"late"});
    auto reply = late->receive(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->as<cm::Error>(), (cm::Error{408, "配对窗口已关闭"}));
    EXPECT_TRUE(late->waitForClose(5s));

    // A store that cannot save: 500, and the window stays open for another attempt.
    pin = server->beginPairing(wallNow());
    const auto salt = openWindowSalt(*server);
    store->failSaves = true;
    auto failing = connectPairing(*server, pin, salt);
    failing->send(cm::PairRequest{"first"});
    reply = failing->receive(5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->as<cm::Error>(), (cm::Error{500, "保存配对记录失败"}));
    EXPECT_TRUE(failing->waitForClose(5s));
    EXPECT_TRUE(std::holds_alternative<PairingSession::Open>(server->pairingState()));
    EXPECT_TRUE(store->allDevices().empty());

    store->failSaves = false;
    auto retry = connectPairing(*server, pin, salt);
    retry->send(cm::PairRequest{"second"});
    reply = retry->receive(5s);
    ASSERT_TRUE(reply && reply->is<cm::PairResult>());
    ASSERT_TRUE(delegate->waitForCount(1, 5s));
    EXPECT_EQ(delegate->events(),
              std::vector<std::string>{"pair " + reply->as<cm::PairResult>().deviceID});
}

TEST_F(TransportServerTest, FirstMessageRefusalsCloseTheConnectionAndReportNothing) {
    makeServer();
    const PairedCredentials creds = pairDevice();
    ASSERT_TRUE(delegate->waitForCount(1, 5s)); // didPair
    wire::Bytes wrongToken = creds.token;
    wrongToken.back() ^= 1;

    struct Case {
        const char* name;
        ControlMessage first;
        cm::Error expected;
    };
    const std::vector<Case> cases = {
        {"heartbeat first", cm::Heartbeat{}, {400, "首个消息必须是 hello"}},
        {"old protocol",
         helloFor({"UNKNOWN", creds.token, {}}, 1),
         {426, "协议版本不一致，请把 Mac 端和 iPad 端都更新到最新版本再试"}},
        {"unknown device", helloFor({"UNKNOWN", creds.token, {}}), {401, "未配对设备"}},
        {"bad token", helloFor({creds.deviceID, wrongToken, {}}), {403, "凭据无效"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = connectMain(*server, creds.hostSecret);
        // A valid hello right behind the refused message changes nothing.
        wire::Bytes bytes = wire::FrameCodec::encode(c.first.encode());
        const auto good = wire::FrameCodec::encode(ControlMessage(helloFor(creds)).encode());
        bytes.insert(bytes.end(), good.begin(), good.end());
        client->sendBytes(bytes);
        auto reply = client->receive(5s);
        ASSERT_TRUE(reply && reply->is<cm::Error>());
        EXPECT_EQ(reply->as<cm::Error>(), c.expected);
        EXPECT_FALSE(client->receive(200ms)) << "nothing after the refusal";
        EXPECT_TRUE(client->waitForClose(5s));
        // Writing on into the closed connection is an error for the client, not a signal that
        // ends its process.
        EXPECT_THROW(
            for (int i = 0; i < 10; ++i) {
                client->send(cm::Heartbeat{});
                std::this_thread::sleep_for(20ms);
            },
            wire::WireClientError);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(delegate->events().size(), 1u);
    EXPECT_TRUE(server->connectedDeviceIDs().empty());
}

TEST_F(TransportServerTest, AdmittedSessionRoutesMessagesAndSkipsUnknownFrames) {
    makeServer();
    const PairedCredentials creds = pairDevice();
    auto client = admit(creds);
    ASSERT_TRUE(delegate->waitForCount(2, 5s)); // pair, accept

    // Heartbeat answered, never delegated.
    client->send(cm::Heartbeat{});
    auto ack = client->receive(5s);
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->is<cm::HeartbeatAck>());

    // One write: a valid frame, a frame of an unknown type, an undecodable payload, a valid
    // frame, and a second hello (routed like any other message).
    wire::Bytes bytes =
        wire::FrameCodec::encode(ControlMessage(cm::PointerRelative{3, -4}).encode());
    wire::FrameCodec::encodeInto(bytes, static_cast<wire::MessageType>(0xEE), wire::Bytes{1, 2, 3});
    wire::FrameCodec::encodeInto(bytes, wire::MessageType::mouseButton, wire::Bytes{9, 9});
    const auto scroll = wire::FrameCodec::encode(
        ControlMessage(cm::Scroll{0, -3, wire::ScrollPhase::changed}).encode());
    bytes.insert(bytes.end(), scroll.begin(), scroll.end());
    const auto hello = wire::FrameCodec::encode(ControlMessage(helloFor(creds)).encode());
    bytes.insert(bytes.end(), hello.begin(), hello.end());
    client->sendBytes(bytes);
    ASSERT_TRUE(delegate->waitForCount(5, 5s));
    const auto events = delegate->events();
    const std::string prefix = "receive " + creds.deviceID + " ";
    EXPECT_EQ(events[2], prefix + ControlMessage(cm::PointerRelative{3, -4}).description());
    EXPECT_EQ(events[3],
              prefix + ControlMessage(cm::Scroll{0, -3, wire::ScrollPhase::changed}).description());
    EXPECT_EQ(events[4].rfind(prefix + "hello", 0), 0u) << events[4];

    // send() reaches the device; a length above 4 MiB ends the session, reported once.
    server->send(cm::Error{1, "test"}, creds.deviceID);
    auto sent = client->receive(5s);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->as<cm::Error>(), (cm::Error{1, "test"}));
    client->sendBytes(wire::Bytes{0x1F, 0x01, 0x00, 0x40, 0x00}); // 4 MiB + 1
    EXPECT_TRUE(client->waitForClose(5s));
    ASSERT_TRUE(delegate->waitForCount(6, 5s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(delegate->events().size(), 6u);
    EXPECT_EQ(delegate->events().back(), "disconnect " + creds.deviceID);
    EXPECT_TRUE(server->connectedDeviceIDs().empty());
}

TEST_F(TransportServerTest, RecordsThatArriveInOneReadAreDeliveredAsOneBurst) {
    makeServer();
    const auto creds = pairDevice();
    // The queue is held inside didAccept while the tablet sends twenty records, one frame each,
    // as it does after a Wi-Fi stall: the next receive finds all of them.
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    delegate->onAccept = [&](const PairedDevice&) {
        std::unique_lock lock(m);
        cv.wait_for(lock, 5s, [&] { return release; });
    };
    auto client = connectMain(*server, creds.hostSecret);
    client->send(helloFor(creds));
    auto ack = client->receive(5s);
    ASSERT_TRUE(ack && ack->is<cm::HelloAck>());
    std::vector<std::string> expected = {"pair " + creds.deviceID, "accept " + creds.deviceID};
    for (int i = 0; i < 20; ++i) {
        const ControlMessage move = cm::PointerRelative{static_cast<float>(i), 1};
        client->send(move);
        expected.push_back("receive " + creds.deviceID + " " + move.description());
    }
    std::this_thread::sleep_for(200ms); // on loopback every record is in the host's buffer
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(delegate->waitForCount(expected.size(), 5s));
    EXPECT_EQ(delegate->events(), expected);
    EXPECT_EQ(delegate->burstSizes(), std::vector<std::size_t>{20});
}

TEST_F(TransportServerTest, SilentDeviceIsClosedByTheHeartbeatCheck) {
    makeServer();
    const PairedCredentials creds = pairDevice();
    auto client = admit(creds);
    ASSERT_TRUE(delegate->waitForCount(2, 5s));
    const auto admitted = std::chrono::steady_clock::now();
    EXPECT_TRUE(client->waitForClose(6s));
    const auto closedAfter = std::chrono::steady_clock::now() - admitted;
    EXPECT_GT(closedAfter, 2900ms);
    EXPECT_LT(closedAfter, 5s);
    ASSERT_TRUE(delegate->waitForCount(3, 2s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(delegate->count("disconnect " + creds.deviceID), 1u);
    EXPECT_EQ(delegate->events().size(), 3u);
}

TEST_F(TransportServerTest, DisconnectReportsOnceAndStopReportsNothing) {
    makeServer();
    const PairedCredentials a = pairDevice("a");
    const PairedCredentials b = pairDevice("b");
    auto a1 = admit(a);
    auto a2 = admit(a);
    auto b1 = admit(b);
    ASSERT_TRUE(delegate->waitForCount(5, 5s));
    std::vector<std::string> expected{a.deviceID, a.deviceID, b.deviceID};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(server->connectedDeviceIDs(), expected);

    server->disconnect(b.deviceID);
    EXPECT_TRUE(b1->waitForClose(5s));
    ASSERT_TRUE(delegate->waitForCount(6, 5s));
    EXPECT_EQ(delegate->events().back(), "disconnect " + b.deviceID);
    server->disconnect("NOBODY");
    server->send(cm::HeartbeatAck{}, "NOBODY");

    server->stop();
    EXPECT_TRUE(server->connectedDeviceIDs().empty());
    EXPECT_FALSE(server->mainPort());
    EXPECT_TRUE(a1->waitForClose(5s));
    EXPECT_TRUE(a2->waitForClose(5s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(delegate->events().size(), 6u);

    // A stopped server starts again.
    server->start();
    EXPECT_TRUE(server->mainPort());
    auto again = admit(a);
    EXPECT_TRUE(delegate->waitForCount(7, 5s));
}

TEST_F(TransportServerTest, StartFailsWhenTheHostSecretCannotBeRead) {
    store->failSecret = true;
    TransportServerOptions options;
    options.advertise = false;
    server = std::make_unique<TransportServer>(store, options);
    EXPECT_THROW(server->start(), PairingStoreError);
    EXPECT_FALSE(server->mainPort());
}

// A fixed port (the "port" setting) is where the host listens, pairing on the next one, and a
// restart gets both back while the old connections linger; a port in use is said as such.
TEST_F(TransportServerTest, AFixedPortIsKeptAcrossRestarts) {
    // Two free ports in a row, as the system finds them.
    std::uint16_t port = 0;
    for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
        makeServer();
        const auto picked = *server->mainPort();
        server.reset();
        if (picked < 65534) {
            port = picked;
        }
    }
    ASSERT_NE(port, 0);
    TransportServerOptions options;
    options.port = port;
    makeServer(options);
    EXPECT_EQ(server->mainPort(), port);
    const PairedCredentials creds = pairDevice();
    server->beginPairing(wallNow()); // a new window: its listener on the next port again
    EXPECT_EQ(server->pairingPort(), port + 1);
    auto client = admit(creds);
    server->stop();
    server->start(); // the closed session lingers in TIME_WAIT on the same port
    EXPECT_EQ(server->mainPort(), port);
    client.reset();

    auto taken = std::make_unique<TransportServer>(store, [&] {
        TransportServerOptions o;
        o.advertise = false;
        o.port = port;
        return o;
    }());
    try {
        taken->start();
        ADD_FAILURE() << "two listeners on one port";
    } catch (const TransportServerError& e) {
        EXPECT_NE(e.description().find("无法监听 TCP 端口："), std::string::npos)
            << e.description();
    }
}

TEST_F(TransportServerTest, ListensOnIPv6LoopbackToo) {
    makeServer();
    const PairedCredentials creds = pairDevice();
    auto client = connectMain(*server, creds.hostSecret, {}, "::1");
    client->send(helloFor(creds));
    auto ack = client->receive(5s);
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->is<cm::HelloAck>());
}

// A neighbour's wrong PINs shut out the neighbour, not the user's window: three from one
// address end that address's tries (said once), and a tablet elsewhere still pairs.
TEST_F(TransportServerTest, ThreeWrongPINsShutOutTheirSourceNotTheWindow) {
    makeServer();
    const std::string pin = server->beginPairing(wallNow());
    const auto salt = openWindowSalt(*server);
    const std::string wrong = pin == "000000" ? "000001" : "000000";
    wire::WireClient::Options neighbour;
    neighbour.sourceAddress = "127.0.0.66";
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_THROW(connectPairing(*server, wrong, salt, neighbour), wire::WireClientError);
    }
    ASSERT_TRUE(delegate->waitForCount(1, 5s));
    EXPECT_EQ(delegate->events(),
              std::vector<std::string>{
                  "fail 来自 127.0.0.66 的配对码已输错 3 次，本次配对不再接受该地址的连接"});
    // Shut out: even the right PIN from there is closed unheard.
    EXPECT_THROW(connectPairing(*server, pin, salt, neighbour), wire::WireClientError);
    EXPECT_TRUE(server->pairingPort());
    EXPECT_TRUE(std::holds_alternative<PairingSession::Open>(server->pairingState()));

    wire::WireClient::Options tablet;
    tablet.sourceAddress = "127.0.0.7";
    auto client = connectPairing(*server, pin, salt, tablet);
    client->send(cm::PairRequest{"the user's tablet"});
    auto reply = client->receive(5s);
    ASSERT_TRUE(reply && reply->is<cm::PairResult>());
    EXPECT_TRUE(reply->as<cm::PairResult>().accepted);
}

// The window's total still bounds the guesses, however many addresses make them.
TEST_F(TransportServerTest, WrongPINsFromManyAddressesCloseTheWindowAtItsTotal) {
    TransportServerOptions options;
    options.pairingFailures = {3, 5};
    makeServer(options);
    const std::string pin = server->beginPairing(wallNow());
    const auto salt = openWindowSalt(*server);
    const std::string wrong = pin == "000000" ? "000001" : "000000";
    for (int attempt = 0; attempt < 5; ++attempt) {
        wire::WireClient::Options from;
        from.sourceAddress = "127.0.0." + std::to_string(80 + attempt);
        EXPECT_THROW(connectPairing(*server, wrong, salt, from), wire::WireClientError);
    }
    ASSERT_TRUE(delegate->waitForCount(1, 5s));
    EXPECT_EQ(delegate->events(),
              std::vector<std::string>{"fail 配对码输错次数过多，配对窗口已关闭，请重新开始配对"});
    EXPECT_FALSE(server->pairingPort());
    EXPECT_TRUE(std::holds_alternative<PairingSession::Idle>(server->pairingState()));
    // The right PIN no longer reaches anything.
    const std::uint16_t mainPort = *server->mainPort();
    EXPECT_THROW(wire::WireClient::connect("127.0.0.1", mainPort,
                                           wire::PSKProvider::pairingKey(pin, salt),
                                           wire::ServiceConstants::pairingIdentity),
                 wire::WireClientError);
    // A new window starts with a clean count.
    const std::string again = server->beginPairing(wallNow());
    wire::WireClient::Options first;
    first.sourceAddress = "127.0.0.80";
    auto client = connectPairing(*server, again, openWindowSalt(*server), first);
    client->send(cm::PairRequest{"second window"});
    auto reply = client->receive(5s);
    ASSERT_TRUE(reply && reply->is<cm::PairResult>());
}

TEST_F(TransportServerTest, TwoWrongPINsLeaveTheWindowOpen) {
    makeServer();
    const std::string pin = server->beginPairing(wallNow());
    const auto salt = openWindowSalt(*server);
    const std::string wrong = pin == "000000" ? "000001" : "000000";
    EXPECT_THROW(connectPairing(*server, wrong, salt), wire::WireClientError);
    EXPECT_THROW(connectPairing(*server, wrong, salt), wire::WireClientError);
    auto client = connectPairing(*server, pin, salt);
    client->send(cm::PairRequest{"third time"});
    auto reply = client->receive(5s);
    ASSERT_TRUE(reply && reply->is<cm::PairResult>());
}

// Hands the client a PSK session that would allow early data, as a client trying 0-RTT does.
int earlyDataSession(SSL* ssl, const EVP_MD*, const unsigned char** id, std::size_t* idlen,
                     SSL_SESSION** sess) {
    auto* key = static_cast<wire::SymmetricKey*>(SSL_get_app_data(ssl));
    static const unsigned char suite[2] = {0x13, 0x01};
    SSL_SESSION* s = SSL_SESSION_new();
    SSL_SESSION_set1_master_key(s, key->data(), key->size());
    SSL_SESSION_set_cipher(s, SSL_CIPHER_find(ssl, suite));
    SSL_SESSION_set_protocol_version(s, TLS1_3_VERSION);
    SSL_SESSION_set_max_early_data(s, 16384);
    *id = reinterpret_cast<const unsigned char*>(wire::ServiceConstants::sessionIdentity);
    *idlen = 7;
    *sess = s;
    return 1;
}

TEST_F(TransportServerTest, NoTicketsAndEarlyDataIsRefused) {
    makeServer();
    const PairedCredentials creds = pairDevice();
    // A normal session gets no ticket: nothing to resume.
    {
        auto client = admit(creds);
        client->send(cm::Heartbeat{});
        ASSERT_TRUE(client->receive(5s));
        SSL_SESSION* session = SSL_get1_session(client->ssl());
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(SSL_SESSION_is_resumable(session), 0);
        SSL_SESSION_free(session);
    }
    // A client that sends a hello as early data: the server must not take it.
    const std::size_t acceptedBefore = delegate->count("accept");
    wire::SymmetricKey key = wire::PSKProvider::sessionKey(creds.hostSecret);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_ciphersuites(ctx, "TLS_AES_128_GCM_SHA256");
    SSL_CTX_set_psk_use_session_callback(ctx, earlyDataSession);
    const int fd = wire::connectTCP("127.0.0.1", *server->mainPort());
    ASSERT_GE(fd, 0);
    SSL* ssl = SSL_new(ctx);
    SSL_set_app_data(ssl, &key);
    SSL_set_fd(ssl, fd);
    const auto hello = wire::FrameCodec::encode(ControlMessage(helloFor(creds)).encode());
    std::size_t written = 0;
    const int early = SSL_write_early_data(ssl, hello.data(), hello.size(), &written);
    EXPECT_EQ(early, 1) << "the client did try";
    ASSERT_EQ(SSL_connect(ssl), 1);
    EXPECT_EQ(SSL_get_early_data_status(ssl), SSL_EARLY_DATA_REJECTED);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(delegate->count("accept"), acceptedBefore);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
}

// True when the peer closed or reset the connection within `timeout`.
bool closedByPeer(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                return true;
            }
        }
    }
    return false;
}

// The first flight of a real client, to trickle byte by byte.
wire::Bytes clientHelloBytes(const wire::SymmetricKey& key) {
    auto ctx = wire::PSKParameters::make(key, wire::ServiceConstants::sessionIdentity,
                                         wire::PSKParameters::Role::client);
    SSL* ssl = SSL_new(ctx.get());
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl, in, out);
    SSL_connect(ssl);
    wire::Bytes bytes(BIO_ctrl_pending(out));
    BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
    SSL_free(ssl);
    ERR_clear_error();
    return bytes;
}

TEST_F(TransportServerTest, IdleAndSlowPeersNeitherBlockARealClientNorOutstayTheirDeadline) {
    TransportServerOptions options;
    options.handshakeTimeout = 1500ms;
    options.firstFrameTimeout = 1500ms;
    makeServer(options);
    const std::string pin = server->beginPairing(wallNow());
    const auto salt = openWindowSalt(*server);

    std::vector<int> idle;
    for (int i = 0; i < 100; ++i) {
        const bool pairingSide = i % 2 == 0;
        const int fd = wire::connectTCP(
            "127.0.0.1", pairingSide ? *server->pairingPort() : *server->mainPort(), "127.0.0.2");
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    const auto hello = clientHelloBytes(wire::PSKProvider::sessionKey(store->hostSecret()));
    const int trickler = wire::connectTCP("127.0.0.1", *server->mainPort(), "127.0.0.3");
    ASSERT_GE(trickler, 0);
    std::atomic<bool> trickling{true};
    std::thread slow([&] {
        for (std::size_t i = 0; i < hello.size() && trickling; ++i) {
            if (send(trickler, &hello[i], 1, MSG_NOSIGNAL) != 1) {
                break;
            }
            std::this_thread::sleep_for(50ms);
        }
    });

    // Connections that say nothing are kept from the host by the kernel for a few seconds;
    // then, beyond its share from one address (8 on the main listener, 4 on the pairing one),
    // each newcomer displaces that address's oldest idle connection at once.
    EXPECT_LE(server->statistics().pendingConnections, 8u + 4 + 1);
    std::this_thread::sleep_for(4500ms);
    std::size_t closedAtOnce = 0;
    for (int fd : idle) {
        closedAtOnce += closedByPeer(fd, 20ms) ? 1 : 0;
    }
    EXPECT_GE(closedAtOnce, 100u - 8 - 4);
    EXPECT_LE(server->statistics().pendingConnections, 8u + 4 + 1);

    // Meanwhile a real client pairs and is admitted.
    auto pairing = connectPairing(*server, pin, salt);
    pairing->send(cm::PairRequest{"real"});
    auto reply = pairing->receive(5s);
    ASSERT_TRUE(reply && reply->is<cm::PairResult>());
    const auto& result = reply->as<cm::PairResult>();
    auto client = connectMain(*server, result.hostSecret);
    client->send(helloFor({result.deviceID, result.token, result.hostSecret}));
    auto ack = client->receive(5s);
    ASSERT_TRUE(ack && ack->is<cm::HelloAck>());

    // Every idle and slow peer is closed by its deadline.
    for (int fd : idle) {
        EXPECT_TRUE(closedByPeer(fd, 5s));
        close(fd);
    }
    EXPECT_TRUE(closedByPeer(trickler, 3s));
    trickling = false;
    slow.join();
    close(trickler);
    // A main-channel peer that completes the handshake but never speaks goes too.
    auto mute = connectMain(*server, result.hostSecret);
    EXPECT_TRUE(mute->waitForClose(3s));
    client->send(cm::Heartbeat{});
    EXPECT_TRUE(client->receive(2s)) << "the admitted client is untouched";
}

// A delegate that holds the server's queue while it handles a listApplications, so that a
// test can let connections pile up in the kernel before the host accepts or reads any of them.
class HoldingDelegate : public RecordingDelegate {
public:
    void didReceive(const ControlMessage& message, const std::string& deviceID) override {
        if (message.is<cm::ListApplications>()) {
            held.set_value();
            release.get_future().wait();
            return;
        }
        RecordingDelegate::didReceive(message, deviceID);
    }
    void didRefuse(const TransportRefusal& refusal) override {
        if (refusal.kind == TransportRefusal::Kind::noRoom) {
            turnedAway += refusal.count;
            ++reports;
        }
    }
    std::promise<void> held;
    std::promise<void> release;
    std::atomic<std::size_t> turnedAway{0};
    std::atomic<int> reports{0};
};

// A real client's ClientHello that waits in its socket while the host is busy is never closed
// to make room for idle connections that arrived after it, from as many addresses as there are
// places; the idle ones turned away are told in one summed-up report.
TEST_F(TransportServerTest, AClientHelloNotReadYetOutlivesAFloodOfIdleConnections) {
    auto holding = std::make_shared<HoldingDelegate>();
    delegate = holding;
    TransportServerOptions options;
    options.mainWaiting = {16, 8};
    options.turnedAwayReportInterval = 300ms;
    makeServer(options);
    const auto creds = pairDevice();
    server->endPairingIfSpent();
    auto busy = admit(creds);
    busy->send(cm::ListApplications{});
    ASSERT_EQ(holding->held.get_future().wait_for(5s), std::future_status::ready);

    // The real client connects and sends its ClientHello while the queue is held...
    auto real = std::async(std::launch::async, [&] {
        wire::WireClient::Options o;
        o.timeout = 15s;
        o.sourceAddress = "127.0.0.3";
        auto client = connectMain(*server, creds.hostSecret, o);
        client->send(helloFor(creds));
        auto ack = client->receive(10s);
        return ack && ack->is<cm::HelloAck>();
    });
    std::this_thread::sleep_for(300ms);
    // ...then 100 idle connections from 100 addresses, all before the host looks at any. The
    // kernel hands connections that say nothing over only after a few seconds, so the host is
    // held until they are all queued behind the real client.
    std::vector<int> idle;
    for (int i = 1; i <= 100; ++i) {
        const int fd =
            wire::connectTCP("127.0.0.1", *server->mainPort(), "127.0.1." + std::to_string(i));
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    std::this_thread::sleep_for(5s);
    holding->release.set_value();

    EXPECT_TRUE(real.get()) << "the real client was closed to make room";
    EXPECT_TRUE(waitUntil([&] { return holding->turnedAway >= 100 - 16 + 1; }, 5s));
    EXPECT_LE(holding->reports, 3) << "a flood is told once per interval, summed up";
    for (int fd : idle) {
        close(fd);
    }
}

TEST_F(TransportServerTest, StalledLargeFramesBeforeAdmissionKeepMemoryBounded) {
    TransportServerOptions serverOptions;
    serverOptions.mainWaiting = {32, 8};
    makeServer(serverOptions);
    const wire::Bytes secret = store->hostSecret();
    std::vector<std::unique_ptr<wire::WireClient>> big;
    std::vector<std::unique_ptr<wire::WireClient>> partial;
    // 4 addresses x 8 = the whole allowance of connections that have not proved anything.
    for (int i = 0; i < 32; ++i) {
        wire::WireClient::Options options;
        options.sourceAddress = "127.0.0." + std::to_string(10 + i / 8);
        auto client = connectMain(*server, secret, options);
        wire::Bytes bytes{0x02, 0x00, 0x00, 0x40, 0x00}; // hello announcing 4 MiB
        bytes.resize(bytes.size() + 16000, 0xAB);
        client->sendBytes(bytes);
        big.push_back(std::move(client));
    }
    for (auto& c : big) {
        EXPECT_TRUE(c->waitForClose(5s));
    }
    // The client sees the close before the server's queue has let go of the session.
    EXPECT_TRUE(waitUntil([&] { return server->statistics().sessions == 0u; }, 5s));

    for (int i = 0; i < 32; ++i) {
        wire::WireClient::Options options;
        options.sourceAddress = "127.0.0." + std::to_string(20 + i / 8);
        auto client = connectMain(*server, secret, options);
        wire::Bytes bytes{0x02, 0x00, 0x00, 0x01, 0x00}; // 64 KiB, allowed, half sent
        bytes.resize(bytes.size() + 32768, 0xAB);
        client->sendBytes(bytes);
        partial.push_back(std::move(client));
    }
    ASSERT_TRUE(waitUntil([&] { return server->statistics().bufferedBytes >= 32u * 32768; }, 5s));
    const auto stats = server->statistics();
    EXPECT_EQ(stats.sessions, 32u);
    EXPECT_EQ(stats.pendingConnections, 32u);
    EXPECT_LE(stats.bufferedBytes, 32u * (65536 + 1024));
    // The 33rd is not refused: it takes the place of the oldest waiting connection of the
    // busiest address, and the table stays within its budget.
    wire::WireClient::Options options;
    options.sourceAddress = "127.0.0.40";
    auto newcomer = connectMain(*server, secret, options);
    std::size_t displaced = 0;
    for (auto& c : partial) {
        displaced += c->waitForClose(100ms) ? 1 : 0;
    }
    EXPECT_EQ(displaced, 1u);
    EXPECT_EQ(server->statistics().pendingConnections, 32u);
    EXPECT_FALSE(newcomer->waitForClose(200ms));
}

} // namespace

namespace {

// A client that asks and never reads: once its replies pass the cap it is disconnected, and
// the host holds no more than the cap for it.
TEST_F(TransportServerTest, APeerThatDoesNotReadItsRepliesIsDisconnected) {
    TransportServerOptions options;
    options.replies = {1u << 20, 4096};
    makeServer(options);
    const auto creds = pairDevice();
    auto client = admit(creds);
    const wire::ControlMessage list =
        cm::ApplicationList{{{"App", "org.example.App", wire::Bytes(60000, 0x5A)}}};
    for (int i = 0; i < 600 && delegate->count("disconnect") == 0; ++i) {
        server->send(list, creds.deviceID);
        if (i % 50 == 49) {
            EXPECT_LE(server->statistics().bufferedBytes, (2u << 20) + 65536);
        }
    }
    ASSERT_TRUE(waitUntil([&] { return delegate->count("disconnect") == 1; }, 10s));
    EXPECT_TRUE(waitUntil([&] { return server->statistics().sessions == 0u; }, 5s));
    EXPECT_EQ(server->statistics().bufferedBytes, 0u);
}

TEST_F(TransportServerTest, ADeviceBeyondItsShareOfSessionsLosesItsOldest) {
    TransportServerOptions options;
    options.sessions.sessionsPerDevice = 2;
    makeServer(options);
    const auto creds = pairDevice();
    auto first = admit(creds);
    auto second = admit(creds);
    EXPECT_FALSE(first->waitForClose(100ms));
    auto third = admit(creds);
    EXPECT_TRUE(first->waitForClose(5s));
    for (auto* c : {second.get(), third.get()}) {
        c->send(cm::Heartbeat{});
        auto ack = c->receive(5s);
        EXPECT_TRUE(ack && ack->is<cm::HeartbeatAck>());
    }
    EXPECT_EQ(server->connectedDeviceIDs().size(), 2u);
}

// Admitted sessions announcing 4 MiB frames share one budget: the biggest holders go, and
// what the host buffers stays near the budget however many sessions try.
TEST_F(TransportServerTest, AnnouncedFramesAcrossSessionsStayWithinTheBudget) {
    TransportServerOptions options;
    options.sessions = {8, 64u * 1024, 256u * 1024};
    makeServer(options);
    const auto creds = pairDevice();
    std::vector<std::unique_ptr<wire::WireClient>> sessions;
    for (int i = 0; i < 6; ++i) {
        sessions.push_back(admit(creds));
    }
    for (auto& c : sessions) {
        wire::Bytes bytes{0x15, 0x00, 0x00, 0x40, 0x00}; // textInput announcing 4 MiB
        bytes.resize(bytes.size() + 200000, 'a');
        c->sendBytes(bytes);
    }
    // Each holds 200000 - 65536 beyond its allowance; against a budget of 256 KiB one such
    // session fits and two do not: five go, whatever order their bytes arrive in.
    ASSERT_TRUE(waitUntil([&] { return server->statistics().sessions == 1u; }, 10s))
        << "buffered " << server->statistics().bufferedBytes;
    std::this_thread::sleep_for(200ms);
    const auto stats = server->statistics();
    EXPECT_EQ(stats.sessions, 1u) << "the budget leaves room for one";
    EXPECT_LE(stats.bufferedBytes, (256u * 1024) + 2 * 65536);
    EXPECT_EQ(delegate->count("disconnect"), 0u) << "the device keeps a session";
}

// A device is connected while any of its sessions lives: the close of one of two sessions is
// not reported (the coordinator would take the device's keys from the other), the close of the
// last one is, once.
TEST_F(TransportServerTest, ADeviceStaysConnectedUntilItsLastSessionCloses) {
    makeServer();
    const auto creds = pairDevice();
    auto first = admit(creds);
    auto second = admit(creds);
    ASSERT_TRUE(delegate->waitForCount(3, 5s)); // pair, accept, accept
    second.reset();                             // the tablet closes its second session
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server->connectedDeviceIDs(), std::vector<std::string>{creds.deviceID});
    first->send(cm::PointerRelative{1, 2});
    first->send(cm::Heartbeat{});
    ASSERT_TRUE(first->receive(5s));
    first.reset();
    ASSERT_TRUE(waitUntil([&] { return delegate->count("disconnect") == 1; }, 5s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(delegate->events(),
              (std::vector<std::string>{
                  "pair " + creds.deviceID,
                  "accept " + creds.deviceID,
                  "accept " + creds.deviceID,
                  "receive " + creds.deviceID + " pointerRelative(dx: 1.0, dy: 2.0)",
                  "disconnect " + creds.deviceID,
              }));
}

} // namespace
