// test-labels: transport
// test-timeout: 120
#include "Platform/Display/DisplayGeometry.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "WireProtocol/TLSChannel.hpp"
#include "tests/support/TransportHelpers.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;
namespace cm = quillon::wire::cm;

// The TLS library reads the wall clock through time(); this process's definition takes the
// place of the C library's, so a test can make every TLS context in it look as old as it likes
// without waiting. Nothing else in the host reads time() (its clocks are std::chrono).
namespace {
std::atomic<long> tlsClockAhead{0};
}

extern "C" time_t time(time_t* out) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const time_t value = now.tv_sec + tlsClockAhead.load();
    if (out != nullptr) {
        *out = value;
    }
    return value;
}

namespace {

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class ListenerAge : public ::testing::Test {
protected:
    void TearDown() override { tlsClockAhead = 0; }
};

TEST_F(ListenerAge, ContextsMadeLongAgoStillCompleteAHandshake) {
    const auto key = wire::PSKProvider::sessionKey(wire::PSKProvider::randomBytes(32));
    const auto serverCtx = wire::PSKParameters::make(key, wire::ServiceConstants::sessionIdentity,
                                                     wire::PSKParameters::Role::server);
    const auto clientCtx = wire::PSKParameters::make(key, wire::ServiceConstants::sessionIdentity,
                                                     wire::PSKParameters::Role::client);
    // Past the library's default session lifetime (304 s), then days.
    for (const long ahead : {0L, 10L * 60, 3L * 24 * 60 * 60}) {
        tlsClockAhead = ahead;
        wire::TLSChannel server(serverCtx, wire::PSKParameters::Role::server);
        wire::TLSChannel client(clientCtx, wire::PSKParameters::Role::client);
        auto result = wire::TLSChannel::Handshake::inProgress;
        for (int round = 0; round < 8 && result == wire::TLSChannel::Handshake::inProgress;
             ++round) {
            client.handshake();
            wire::Bytes bytes;
            client.takeCiphertext(bytes);
            server.feed(bytes);
            result = server.handshake();
            bytes.clear();
            server.takeCiphertext(bytes);
            client.feed(bytes);
        }
        EXPECT_EQ(result, wire::TLSChannel::Handshake::done) << ahead << " s after the contexts";
    }
}

TEST_F(ListenerAge, ListenersOlderThanFiveMinutesStillPairAndAdmit) {
    auto store = std::make_shared<TestPairingStore>();
    auto delegate = std::make_shared<RecordingDelegate>();
    TransportServerOptions options;
    options.advertise = false;
    options.display =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 800, 600}, 1.0);
    TransportServer server(store, std::move(options));
    server.setDelegate(delegate);
    server.start();
    const std::string pin = server.beginPairing(wallNow());
    const wire::Bytes salt = openWindowSalt(server);

    tlsClockAhead = 10 * 60; // both listeners are now ten minutes old as TLS sees them

    auto pairing = connectPairing(server, pin, salt);
    pairing->send(cm::PairRequest{"iPad"});
    auto reply = pairing->receive(5s);
    ASSERT_TRUE(reply && reply->is<cm::PairResult>()) << (reply ? reply->description() : "none");
    const auto& result = reply->as<cm::PairResult>();

    const PairedCredentials creds{result.deviceID, result.token, result.hostSecret};
    for (int reconnect = 0; reconnect < 2; ++reconnect) {
        auto client = connectMain(server, creds.hostSecret);
        client->send(helloFor(creds));
        auto ack = client->receive(5s);
        ASSERT_TRUE(ack && ack->is<cm::HelloAck>()) << "reconnect " << reconnect;
        tlsClockAhead += 24 * 60 * 60;
    }
}

} // namespace
