// test-labels: transport;concurrency
// test-timeout: 180
// test-language: zh_CN
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "WireProtocol/Bytes.hpp"
#include "tests/support/AvahiFixture.hpp"
#include "tests/support/TransportHelpers.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::unique_ptr<TransportServer> makeServer(std::shared_ptr<PairingStore> store,
                                            std::shared_ptr<RecordingDelegate> delegate,
                                            const std::string& name) {
    TransportServerOptions options;
    options.serviceName = name;
    auto server = std::make_unique<TransportServer>(std::move(store), options);
    server->setDelegate(delegate);
    return server;
}

// Names unique to this process: other tests may advertise on the loopback interface too.
std::string uniqueName(const std::string& base) {
    return base + " " + std::to_string(getpid());
}

// Polls avahi-browse until `predicate` holds for the services of `type` whose name starts with
// `prefix`.
bool browseUntil(AvahiFixture& avahi, const std::string& type, const std::string& prefix,
                 const std::function<bool(const std::vector<AvahiFixture::Browsed>&)>& predicate) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto found = avahi.browse(type);
        std::erase_if(found, [&](const auto& b) { return b.name.rfind(prefix, 0) != 0; });
        if (predicate(found)) {
            return true;
        }
        std::this_thread::sleep_for(200ms);
    }
    return false;
}

TEST(ServiceAdvertising, BothServicesAreFoundAndThePairingOneGoesWithItsWindow) {
    AvahiFixture avahi;
    auto store = std::make_shared<TestPairingStore>();
    auto delegate = std::make_shared<RecordingDelegate>();
    const std::string name = uniqueName("Quillon Test Desk");
    auto server = makeServer(store, delegate, name);
    server->start();
    const std::string pin = server->beginPairing(wallNow());
    const std::string salt = wire::base64Encode(openWindowSalt(*server));
    ASSERT_EQ(salt.size(), 24u);

    std::vector<AvahiFixture::Browsed> main;
    ASSERT_TRUE(browseUntil(avahi, "_corvane._tcp", name, [&](const auto& found) {
        main = found;
        return !found.empty();
    }));
    ASSERT_EQ(main.size(), 1u);
    EXPECT_EQ(main[0].name, name);
    EXPECT_EQ(main[0].port, *server->mainPort());
    EXPECT_EQ(main[0].txt, "");

    std::vector<AvahiFixture::Browsed> pairing;
    ASSERT_TRUE(browseUntil(avahi, "_corvane-pair._tcp", name, [&](const auto& found) {
        pairing = found;
        return !found.empty();
    }));
    ASSERT_EQ(pairing.size(), 1u);
    EXPECT_EQ(pairing[0].name, name);
    EXPECT_EQ(pairing[0].port, *server->pairingPort());
    EXPECT_EQ(pairing[0].txt, "salt=" + salt);

    // What a tablet does: find the service, take the salt, pair.
    const auto discovered = platform::discoverService("_corvane-pair._tcp", 5s, name);
    ASSERT_TRUE(discovered);
    ASSERT_EQ(discovered->txt.size(), 1u);
    wire::Bytes saltBytes;
    ASSERT_TRUE(wire::base64Decode(discovered->txt[0].second, saltBytes));
    auto client = wire::WireClient::connect(discovered->host, discovered->port,
                                            wire::PSKProvider::pairingKey(pin, saltBytes),
                                            wire::ServiceConstants::pairingIdentity);
    client->send(wire::cm::PairRequest{"found by browsing"});
    auto reply = client->receive(5s);
    ASSERT_TRUE(reply && reply->is<wire::cm::PairResult>());

    server->endPairing();
    EXPECT_TRUE(
        browseUntil(avahi, "_corvane-pair._tcp", name, [](const auto& f) { return f.empty(); }));
    EXPECT_TRUE(
        browseUntil(avahi, "_corvane._tcp", name, [](const auto& f) { return f.size() == 1; }));
    server->stop();
    EXPECT_TRUE(browseUntil(avahi, "_corvane._tcp", name, [](const auto& f) { return f.empty(); }));
    EXPECT_EQ(delegate->count("fail"), 0u) << delegate->events()[0];
}

TEST(ServiceAdvertising, ANameCollisionIsRenamed) {
    AvahiFixture avahi;
    auto store = std::make_shared<TestPairingStore>();
    auto delegate = std::make_shared<RecordingDelegate>();
    const std::string name = uniqueName("Twin");
    auto first = makeServer(store, delegate, name);
    auto second = makeServer(store, delegate, name);
    first->start();
    second->start();
    std::vector<AvahiFixture::Browsed> found;
    ASSERT_TRUE(browseUntil(avahi, "_corvane._tcp", name,
                            [&](const auto& f) {
                                found = f;
                                return f.size() == 2;
                            }))
        << (found.empty() ? "nothing" : found[0].name) << " " << delegate->events().size()
        << (delegate->events().empty() ? "" : delegate->events()[0]);
    std::vector<std::string> names{found[0].name, found[1].name};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{name, name + " #2"}));
    // The renamed host says so, naming both, once.
    const std::string told = "fail 服务名“" + name + "”已被另一台主机占用，本机改以“" + name +
                             " #2”发布（_corvane._tcp）";
    ASSERT_TRUE(waitUntil([&] { return delegate->count(told) == 1; }, 5000ms));
    EXPECT_EQ(delegate->events(), std::vector<std::string>{told});
}

// Without the daemon the host still listens; tablets cannot find it, which is told as the
// advertiser's availability (never as a failure: nothing failed, and a failure line would
// stand after the daemon is back). Each loss and return is told once, in order.
TEST(ServiceAdvertising, KeepsListeningWithoutTheDaemonAndPublishesWhenItReturns) {
    AvahiFixture avahi;
    avahi.stopDaemon();
    auto store = std::make_shared<TestPairingStore>();
    auto delegate = std::make_shared<RecordingDelegate>();
    const std::string name = uniqueName("Patient Host");
    std::mutex mutex;
    std::vector<bool> told;
    const auto toldSoFar = [&] {
        std::lock_guard lock(mutex);
        return told;
    };
    auto advertiser = platform::makeAvahiAdvertiser();
    advertiser->setAvailabilityHandler([&](bool discoverable) {
        std::lock_guard lock(mutex);
        told.push_back(discoverable);
    });
    TransportServerOptions options;
    options.serviceName = name;
    options.advertiser = advertiser;
    auto server = std::make_unique<TransportServer>(store, options);
    server->setDelegate(delegate);
    server->start(); // listens although nothing can be advertised
    ASSERT_TRUE(server->mainPort());
    ASSERT_TRUE(waitUntil([&] { return toldSoFar() == std::vector<bool>{false}; }, 5000ms));
    auto client = connectMain(*server, store->hostSecret());
    client->send(wire::cm::Heartbeat{});
    EXPECT_TRUE(client->receive(5s)) << "refused as not hello, but served";

    avahi.startDaemon();
    EXPECT_TRUE(
        browseUntil(avahi, "_corvane._tcp", name, [](const auto& f) { return f.size() == 1; }));
    EXPECT_TRUE(waitUntil([&] { return toldSoFar() == std::vector<bool>{false, true}; }, 5000ms));

    // The daemon dies while the host runs: told, and published again when it is back.
    avahi.stopDaemon();
    EXPECT_TRUE(waitUntil(
        [&] {
            return toldSoFar() == std::vector<bool>{false, true, false};
        },
        5000ms));
    avahi.startDaemon();
    EXPECT_TRUE(
        browseUntil(avahi, "_corvane._tcp", name, [](const auto& f) { return f.size() == 1; }));
    EXPECT_TRUE(waitUntil(
        [&] {
            return toldSoFar() == std::vector<bool>{false, true, false, true};
        },
        5000ms));
    EXPECT_EQ(delegate->count("fail"), 0u);
    server.reset();
}

TEST(ServiceAdvertising, PrettyHostNameComesFromMachineInfo) {
    TempDir dir;
    const std::string path = dir.path() + "/machine-info";
    struct Case {
        const char* contents;
        const char* expected; // nullptr: the host name
    };
    const Case cases[] = {
        {"PRETTY_HOSTNAME=\"Lin's Desk\"\nCHASSIS=desktop\n", "Lin's Desk"},
        {"CHASSIS=laptop\nPRETTY_HOSTNAME='工作站'\n", "工作站"},
        {"PRETTY_HOSTNAME=Plain\n", "Plain"},
        {"PRETTY_HOSTNAME=\"\"\n", nullptr},
        {"", nullptr},
    };
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    for (const auto& c : cases) {
        std::ofstream(path) << c.contents;
        EXPECT_EQ(platform::prettyHostName(path), c.expected ? c.expected : host) << c.contents;
    }
    EXPECT_EQ(platform::prettyHostName(dir.path() + "/missing"), host);
}

} // namespace
