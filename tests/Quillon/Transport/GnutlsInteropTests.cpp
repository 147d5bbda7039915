// test-labels: transport
// test-timeout: 120
// Another TLS implementation, driven from the command line, pairs and says hello: the host's
// TLS 1.3 PSK set-up is the standard one, not merely one that its own client agrees with.
#include "Platform/Display/DisplayGeometry.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "WireProtocol/Frame.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TransportHelpers.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;
namespace cm = quillon::wire::cm;
using wire::ControlMessage;

namespace {

std::string hex(const wire::SymmetricKey& key) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : key) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// gnutls-cli with one PSK, its plaintext on stdin and stdout; status lines go to a log file.
class GnutlsClient {
public:
    GnutlsClient(const TempDir& dir, const std::string& name, std::uint16_t port,
                 const std::string& identity, const wire::SymmetricKey& key,
                 const std::string& keyExchange = "+ECDHE-PSK:+DHE-PSK")
        : out_(dir.path() + "/" + name + ".out") {
        process_ = std::make_unique<ChildProcess>(ChildProcess::Options{
            {"gnutls-cli", "--port=" + std::to_string(port), "--pskusername=" + identity,
             "--pskkey=" + hex(key),
             "--priority=NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:-KX-ALL:" +
                 keyExchange,
             "--logfile=" + dir.path() + "/" + name + ".log", "127.0.0.1"},
            {},
            out_,
            true,
            {}});
    }

    void send(const ControlMessage& message) {
        const auto bytes = wire::FrameCodec::encode(message.encode());
        process_->writeStdin(std::string(bytes.begin(), bytes.end()));
    }

    // The messages received so far, once at least `count` arrived.
    std::vector<ControlMessage> waitForMessages(std::size_t count) {
        std::vector<ControlMessage> messages;
        waitUntil(
            [&] {
                messages.clear();
                wire::FrameDecoder decoder;
                const std::string bytes = readFile(out_);
                decoder.append(wire::ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                              bytes.size()));
                try {
                    while (auto frame = decoder.nextFrame()) {
                        messages.push_back(ControlMessage::decode(*frame));
                    }
                } catch (const std::exception&) {
                    return true; // not frames: gnutls-cli's own complaint
                }
                return messages.size() >= count;
            },
            5000ms);
        return messages;
    }

    bool exits() { return process_->wait(5000ms).has_value(); }
    void close() { process_->closeStdin(); }

private:
    std::string out_;
    std::unique_ptr<ChildProcess> process_;
};

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(GnutlsInterop, PairsAndSaysHello) {
    TempDir dir;
    auto store = std::make_shared<TestPairingStore>();
    auto delegate = std::make_shared<RecordingDelegate>();
    TransportServerOptions options;
    options.display =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 2560, 1440}, 2.0);
    TransportServer server(store, quillon::testing::makeIOQueue(), options);
    server.setEvents(delegate);
    server.start();
    const std::string pin = server.beginPairing(wallNow());
    const auto salt = openWindowSalt(server);

    GnutlsClient pairing(dir, "pair", *server.pairingPort(),
                         wire::ServiceConstants::pairingIdentity,
                         wire::PSKProvider::pairingKey(pin, salt));
    pairing.send(cm::PairRequest{"gnutls"});
    auto replies = pairing.waitForMessages(1);
    ASSERT_EQ(replies.size(), 1u) << readFile(dir.path() + "/pair.log");
    ASSERT_TRUE(replies[0].is<cm::PairResult>());
    const auto result = replies[0].as<cm::PairResult>();
    EXPECT_EQ(result.hostSecret, store->hostSecret());
    pairing.close();
    EXPECT_TRUE(pairing.exits());

    GnutlsClient main(dir, "main", *server.mainPort(), wire::ServiceConstants::sessionIdentity,
                      wire::PSKProvider::sessionKey(result.hostSecret));
    main.send(cm::Hello{result.deviceID, result.token, "gnutls", 2});
    main.send(cm::Heartbeat{});
    main.send(cm::KeyCombo{8, wire::KeyModifiers::command});
    replies = main.waitForMessages(2);
    ASSERT_EQ(replies.size(), 2u) << readFile(dir.path() + "/main.log");
    EXPECT_EQ(replies[0].as<cm::HelloAck>(), (cm::HelloAck{2560, 1440, 2.0F}));
    EXPECT_TRUE(replies[1].is<cm::HeartbeatAck>());
    ASSERT_TRUE(delegate->waitForCount(3, 5s));
    EXPECT_EQ(delegate->events()[1], "accept " + result.deviceID);
    EXPECT_EQ(delegate->events()[2].rfind("receive " + result.deviceID + " keyCombo", 0), 0u)
        << delegate->events()[2];
    main.close();
    EXPECT_TRUE(main.exits());
}

TEST(GnutlsInterop, APSKOnlyKeyExchangeIsRefused) {
    TempDir dir;
    auto store = std::make_shared<TestPairingStore>();
    TransportServerOptions options;
    TransportServer server(store, quillon::testing::makeIOQueue(), options);
    server.start();
    // psk_ke alone would give up forward secrecy; the host insists on (EC)DHE.
    GnutlsClient client(dir, "pskonly", *server.mainPort(), wire::ServiceConstants::sessionIdentity,
                        wire::PSKProvider::sessionKey(store->hostSecret()), "+PSK");
    client.send(cm::Heartbeat{});
    EXPECT_TRUE(client.exits());
    EXPECT_TRUE(client.waitForMessages(1).empty());
    const std::string log =
        readFile(dir.path() + "/pskonly.log") + readFile(dir.path() + "/pskonly.out");
    EXPECT_EQ(log.find("Handshake was completed"), std::string::npos) << log;
    EXPECT_NE(log.find("Handshake failed"), std::string::npos) << log;
    EXPECT_EQ(server.statistics().sessions, 0u);
}

} // namespace
