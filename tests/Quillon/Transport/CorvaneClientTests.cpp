// test-labels: transport
// test-timeout: 120
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "tests/support/AvahiFixture.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TransportHelpers.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

const std::string kClient = QUILLON_BINARY_DIR "/tools/corvane-client";

double wallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct ClientRun {
    int exitCode = -1;
    std::string output;
};

ClientRun runClient(std::vector<std::string> args, const std::string& outFile,
                    std::map<std::string, std::optional<std::string>> env = {},
                    const std::string& stdinText = {}, bool pipeStdin = false) {
    args.insert(args.begin(), kClient);
    std::remove(outFile.c_str());
    ChildProcess child(ChildProcess::Options{args, env, outFile, pipeStdin, {}});
    if (pipeStdin) {
        child.writeStdin(stdinText);
        child.closeStdin();
    }
    const auto status = child.wait(30s);
    ClientRun run;
    run.output = child.output();
    if (status && WIFEXITED(*status)) {
        run.exitCode = WEXITSTATUS(*status);
    }
    return run;
}

class CorvaneClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        TransportServerOptions options;
        options.display =
            std::make_shared<platform::FixedDisplayGeometry>(platform::Rect{0, 0, 1920, 1080}, 1.0);
        server = std::make_unique<TransportServer>(store, quillon::testing::makeIOQueue(), options);
        server->setEvents(delegate);
        server->start();
    }

    std::string port() const { return std::to_string(*server->mainPort()); }

    TempDir dir;
    std::string statePath = dir.path() + "/state.json";
    std::string out = dir.path() + "/out.txt";
    std::shared_ptr<TestPairingStore> store = std::make_shared<TestPairingStore>();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::unique_ptr<TransportServer> server;
};

TEST_F(CorvaneClientTest, PairsKeepsItsStatePrivateAndSendsInput) {
    const std::string pin = server->beginPairing(wallNow());
    const std::string salt = wire::base64Encode(openWindowSalt(*server));
    ClientRun pair = runClient({"pair", "--pin", pin, "--host", "127.0.0.1", "--port",
                                std::to_string(*server->pairingPort()), "--salt", salt, "--state",
                                statePath, "--name", "Test Tablet"},
                               out);
    ASSERT_EQ(pair.exitCode, 0) << pair.output;
    const auto devices = store->allDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(pair.output, "paired " + devices[0].deviceID + "\n");
    EXPECT_EQ(devices[0].deviceName, "Test Tablet");
    struct stat st {};
    ASSERT_EQ(stat(statePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ClientRun hello = runClient({"hello",
                                 "--state",
                                 statePath,
                                 "--host",
                                 "127.0.0.1",
                                 "--port",
                                 port(),
                                 "move 0.5 0.5",
                                 "rel 10 -5",
                                 "button left down",
                                 "click left 2",
                                 "scroll 0 -3 changed",
                                 "key 8 command",
                                 "text héllo",
                                 "gesture threeFingerLeft",
                                 "list-apps",
                                 "activate org.example.App",
                                 "heartbeat",
                                 "sleep 0.1",
                                 "nonsense here"},
                                out);
    EXPECT_EQ(hello.exitCode, 0) << hello.output;
    EXPECT_NE(hello.output.find("helloAck 1920 1080 1.0\n"), std::string::npos) << hello.output;
    EXPECT_NE(hello.output.find("heartbeatAck\n"), std::string::npos) << hello.output;
    EXPECT_NE(hello.output.find("cannot understand: nonsense here"), std::string::npos);

    ASSERT_TRUE(waitUntil([&] { return delegate->count("disconnect") == 1; }, 5000ms));
    const std::string id = devices[0].deviceID;
    const std::vector<std::string> expected = {
        "pointerAbsolute",  "pointerRelative",    "mouseButton", "multiClick",
        "scroll",           "keyCombo",           "textInput",   "gesture",
        "listApplications", "activateApplication"};
    const auto events = delegate->events();
    std::vector<std::string> received;
    for (const auto& e : events) {
        if (e.rfind("receive " + id + " ", 0) == 0) {
            const std::string rest = e.substr(("receive " + id + " ").size());
            received.push_back(rest.substr(0, rest.find('(')));
        }
    }
    EXPECT_EQ(received, expected);
    EXPECT_NE(events.back().find("disconnect"), std::string::npos);
}

TEST_F(CorvaneClientTest, ReadsCommandsFromStandardInputAndReportsRefusals) {
    const std::string pin = server->beginPairing(wallNow());
    const std::string salt = wire::base64Encode(openWindowSalt(*server));
    ASSERT_EQ(
        runClient({"pair", "--pin", pin, "--host", "127.0.0.1", "--port",
                   std::to_string(*server->pairingPort()), "--salt", salt, "--state", statePath},
                  out)
            .exitCode,
        0);
    ClientRun piped =
        runClient({"hello", "--state", statePath, "--host", "127.0.0.1", "--port", port()}, out, {},
                  "heartbeat\nsleep 1.5\nheartbeat\n", true);
    EXPECT_EQ(piped.exitCode, 0) << piped.output;
    EXPECT_EQ(piped.output, "helloAck 1920 1080 1.0\nheartbeatAck\nheartbeatAck\n");

    // A pairing window that is over.
    const std::string oldPin = server->beginPairing(wallNow() - 120);
    ClientRun late = runClient({"pair", "--pin", oldPin, "--host", "127.0.0.1", "--port",
                                std::to_string(*server->pairingPort()), "--salt",
                                wire::base64Encode(openWindowSalt(*server)), "--state",
                                dir.path() + "/late.json"},
                               out);
    EXPECT_EQ(late.exitCode, 1);
    EXPECT_EQ(late.output, "error 408 配对窗口已关闭\n");

    // The host forgot the device (the running listener keeps the key it started with).
    store->removeAll();
    ClientRun wrongKey = runClient(
        {"hello", "--state", statePath, "--host", "127.0.0.1", "--port", port(), "heartbeat"}, out);
    EXPECT_EQ(wrongKey.exitCode, 1);
    EXPECT_EQ(wrongKey.output, "error 401 未配对设备\n");
}

TEST_F(CorvaneClientTest, FindsTheHostThroughDNSSD) {
    AvahiFixture avahi;
    TransportServerOptions options;
    options.serviceName = "corvane-client test " + std::to_string(getpid());
    options.advertiser = platform::makeAvahiAdvertiser();
    auto advertised =
        std::make_unique<TransportServer>(store, quillon::testing::makeIOQueue(), options);
    advertised->start();
    server.reset();
    const std::string pin = advertised->beginPairing(wallNow());
    ClientRun pair =
        runClient({"pair", "--pin", pin, "--state", statePath, "--service", options.serviceName},
                  out, avahi.environment());
    ASSERT_EQ(pair.exitCode, 0) << pair.output;
    ClientRun hello =
        runClient({"hello", "--state", statePath, "--service", options.serviceName, "heartbeat"},
                  out, avahi.environment());
    EXPECT_EQ(hello.exitCode, 0) << hello.output;
    EXPECT_EQ(hello.output.rfind("helloAck", 0), 0u) << hello.output;
}

} // namespace
