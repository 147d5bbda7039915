// test-labels: long
// test-timeout: 1200
// test-cost: 100000
// Ten and a half minutes of a host's Wi-Fi transport on a hostile LAN: two paired tablets that
// keep their sessions alive, leave and come back after more than five minutes, while every
// minute an attacker floods both listeners with idle connections, sends junk hellos and wrong
// PINs, and a paired device asks for application lists it never reads. What the host holds
// (memory, descriptors, threads) is the same at the end as after the first round, and every
// reconnect is admitted. Runs in the "long" group, in parallel with the rest of the suite.
#include "Platform/Display/DisplayGeometry.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "WireProtocol/Frame.hpp"
#include "tests/support/ProcessUsage.hpp"
#include "tests/support/TransportHelpers.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
// A small quarantine, so that what the sanitizer holds back of freed memory does not read as
// growth of the host.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16:thread_local_quarantine_size_kb=256";
}
#endif
#endif

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;
namespace cm = quillon::wire::cm;
using Clock = std::chrono::steady_clock;

namespace {

using Usage = quillon::testing::ProcessUsage;
using quillon::testing::processUsage;

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Answers listApplications as the coordinator does: one list in flight per device, 60 KB.
class ListingDelegate : public RecordingDelegate {
public:
    TransportServer* server = nullptr;
    std::atomic<bool> building{false};
    void didReceive(const wire::ControlMessage& message, const std::string& deviceID) override {
        if (!message.is<cm::ListApplications>() || server == nullptr || building.exchange(true)) {
            return;
        }
        // Answered from the server's own queue: no thread outlives the test.
        server->send(cm::ApplicationList{{{"App", "org.example.App", wire::Bytes(60000, 0x5A)}}},
                     deviceID);
        building = false;
    }
};

// A paired tablet that keeps its session alive with a heartbeat a second, on its own thread,
// until told to leave. `lost` counts sessions the host dropped under it.
class Tablet {
public:
    Tablet(TransportServer& server, PairedCredentials creds) : server_(server), creds_(creds) {}
    ~Tablet() { leave(); }

    // Connects and says hello; false when not admitted.
    bool arrive() {
        leave();
        try {
            wire::WireClient::Options o;
            o.timeout = 5s;
            auto client = connectMain(server_, creds_.hostSecret, o);
            client->send(helloFor(creds_));
            auto ack = client->receive(5s);
            if (!ack || !ack->is<cm::HelloAck>()) {
                return false;
            }
            client_ = std::move(client);
        } catch (const std::exception&) {
            return false;
        }
        running_ = true;
        keeper_ = std::thread([this] {
            while (running_) {
                try {
                    client_->send(cm::Heartbeat{});
                    // The ack within two seconds; nothing else is sent to this device.
                    auto ack = client_->receive(2s);
                    if (running_ && (!ack || !ack->is<cm::HeartbeatAck>())) {
                        ++lost;
                        return;
                    }
                } catch (const std::exception&) {
                    if (running_) {
                        ++lost;
                    }
                    return;
                }
                for (int i = 0; i < 10 && running_; ++i) {
                    std::this_thread::sleep_for(100ms);
                }
            }
        });
        return true;
    }

    void leave() {
        running_ = false;
        if (keeper_.joinable()) {
            keeper_.join();
        }
        client_.reset();
    }

    bool present() const { return client_ != nullptr; }
    std::atomic<int> lost{0};

private:
    TransportServer& server_;
    PairedCredentials creds_;
    std::unique_ptr<wire::WireClient> client_;
    std::thread keeper_;
    std::atomic<bool> running_{false};
};

// One round of abuse, about five seconds: idle floods on both listeners from 30 addresses,
// junk hellos, wrong PINs, a paired device's unread application lists and an oversized frame.
void abuse(TransportServer& server, const PairedCredentials& creds, int round) {
    std::mt19937 random(static_cast<unsigned>(round));
    const std::string pin = server.beginPairing(wallNow());
    const auto salt = openWindowSalt(server);
    std::vector<int> fds;
    for (int i = 0; i < 300; ++i) {
        const std::string source = "127.0.4." + std::to_string(1 + i % 30);
        const auto port = i % 3 == 0 ? server.pairingPort() : server.mainPort();
        if (!port) {
            continue;
        }
        const int fd = wire::connectTCP("127.0.0.1", *port, source, 200ms);
        if (fd >= 0) {
            fds.push_back(fd);
        }
    }
    for (int i = 0; i < 20; ++i) {
        const int fd = wire::connectTCP("127.0.0.1", *server.mainPort(),
                                        "127.0.5." + std::to_string(1 + i), 200ms);
        if (fd < 0) {
            continue;
        }
        std::vector<std::uint8_t> junk(600);
        for (auto& b : junk) {
            b = static_cast<std::uint8_t>(random());
        }
        junk[0] = 0x16; // looks like a handshake record
        (void)::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
        fds.push_back(fd);
    }
    // Two wrong PINs from one neighbour (the window survives them).
    for (int i = 0; i < 2; ++i) {
        try {
            wire::WireClient::Options o;
            o.timeout = 1s;
            o.sourceAddress = "127.0.6.1";
            connectPairing(server, pin == "000000" ? "111111" : "000000", salt, o);
        } catch (const std::exception&) {
        }
    }
    // A paired device asks for lists and never reads them.
    try {
        auto greedy = connectMain(server, creds.hostSecret);
        greedy->send(helloFor(creds));
        wire::Bytes request;
        wire::FrameCodec::encodeInto(request, wire::MessageType::listApplications, {});
        for (int i = 0; i < 400; ++i) {
            greedy->sendBytes(request);
            std::this_thread::sleep_for(5ms);
        }
    } catch (const std::exception&) {
        // dropped by the host, as it should be
    }
    // A paired device announcing a 4 MiB frame before its hello.
    try {
        auto big = connectMain(server, creds.hostSecret);
        wire::Bytes bytes{0x02, 0x00, 0x00, 0x40, 0x00};
        bytes.resize(bytes.size() + 30000, 0xAB);
        big->sendBytes(bytes);
        big->waitForClose(2s);
    } catch (const std::exception&) {
    }
    for (int fd : fds) {
        ::close(fd);
    }
    server.endPairing();
}

TEST(Soak, TenMinutesOfAbuseLeaveTheHostAsItWasAndEveryReconnectIsAdmitted) {
    auto store = std::make_shared<TestPairingStore>();
    auto delegate = std::make_shared<ListingDelegate>();
    TransportServerOptions options;
    options.display =
        std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 1280, 800}, 1.0);
    TransportServer server(store, quillon::testing::makeIOQueue(), std::move(options));
    delegate->server = &server;
    server.setEvents(delegate);
    server.start();

    const auto pair = [&](const std::string& name) {
        const std::string pin = server.beginPairing(wallNow());
        auto client = connectPairing(server, pin, openWindowSalt(server));
        client->send(cm::PairRequest{name});
        auto reply = client->receive(5s);
        EXPECT_TRUE(reply && reply->is<cm::PairResult>());
        server.endPairing();
        const auto& r = reply->as<cm::PairResult>();
        return PairedCredentials{r.deviceID, r.token, r.hostSecret};
    };
    const auto credsA = pair("A");
    const auto credsB = pair("B");
    // The paired device that misbehaves (its lists go to all its sessions, so it is not A or B).
    const auto credsC = pair("C");
    Tablet a(server, credsA);
    Tablet b(server, credsB);
    ASSERT_TRUE(a.arrive());
    ASSERT_TRUE(b.arrive());

    // Seconds from the start: when each tablet leaves and comes back. Each has a gap of more
    // than five minutes (past the TLS library's default session lifetime), and comes and goes
    // besides.
    struct Step {
        int at;
        Tablet* tablet;
        bool arrive;
    };
    const std::vector<Step> plan = {
        {20, &b, false},  {40, &a, false}, {345, &b, true},  {360, &a, true},
        {400, &b, false}, {470, &b, true}, {540, &b, false}, {600, &b, true},
    };
    const auto start = Clock::now();
    const auto elapsed = [&] {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
    };
    std::size_t next = 0;
    int reconnects = 0;
    int admitted = 0;
    int round = 0;
    std::optional<Usage> baseline;
    while (elapsed() < 630) {
        const int now = elapsed();
        while (next < plan.size() && plan[next].at <= now) {
            const Step& step = plan[next++];
            if (step.arrive) {
                ++reconnects;
                admitted += step.tablet->arrive() ? 1 : 0;
            } else {
                step.tablet->leave();
            }
        }
        if (now >= 5 + 60 * round) {
            abuse(server, credsC, round++);
            if (round == 2) {
                // After two rounds the host has met every kind of abuse; this is its size.
                std::this_thread::sleep_for(3s);
                baseline = processUsage();
            }
        }
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(a.present() && b.present());
    EXPECT_EQ(a.lost, 0) << "no session dropped under a tablet that kept it alive";
    EXPECT_EQ(b.lost, 0);
    // Measured as at the baseline: neither tablet present, the host quiet.
    a.leave();
    b.leave();
    std::this_thread::sleep_for(3s);
    const Usage end = processUsage();

    EXPECT_EQ(admitted, reconnects) << "every reconnect is admitted";
    EXPECT_EQ(reconnects, 4);
    ASSERT_TRUE(baseline);
    EXPECT_EQ(end.descriptors, baseline->descriptors);
    EXPECT_EQ(end.threads, baseline->threads);
    EXPECT_LT(end.rssKiB - baseline->rssKiB, 16 * 1024)
        << "RSS " << baseline->rssKiB / 1024 << " -> " << end.rssKiB / 1024 << " MB";
    std::printf("soak: %d rounds, %d of %d reconnects admitted; RSS %.1f -> %.1f MB, fds %ld -> "
                "%ld, threads %ld -> %ld\n",
                round, admitted, reconnects, baseline->rssKiB / 1024.0, end.rssKiB / 1024.0,
                baseline->descriptors, end.descriptors, baseline->threads, end.threads);
    a.leave();
    b.leave();
    delegate->server = nullptr;
    server.stop();
}

} // namespace
