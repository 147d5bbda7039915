// test-labels: platform;shell;concurrency
// test-timeout: 120
// The control interface on a private session bus: every method from a client to the host's
// handler on the main queue and back, the errors a caller sees, and the single-instance lock.
#include "Platform/Control/ControlBus.hpp"
#include "Platform/Control/WindowBus.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Quillon/Console/ControlCommand.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/DbusFixture.hpp"

#include <gtest/gtest.h>

#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace quillon::platform;
using namespace quillon::testing;
using namespace std::chrono_literals;
using quillon::runControlCommand;

namespace {

class RecordingHandler : public ControlHandler {
public:
    explicit RecordingHandler(std::shared_ptr<MainQueue> queue) : queue_(std::move(queue)) {}
    std::vector<std::string> calls;
    bool offMainThread = false;
    ControlState answer;

    void note(std::string call) {
        offMainThread |= !queue_->isMainThread();
        calls.push_back(std::move(call));
    }
    ControlState state() override {
        note("state");
        return answer;
    }
    std::vector<ControlDevice> deviceAnswer = {{"AAAA-1", "iPad Pro", true},
                                               {"BBBB-2", "Kitchen “iPad”", false}};
    std::vector<ControlDevice> devices() override {
        note("devices");
        return deviceAnswer;
    }
    std::string pair() override {
        note("pair");
        if (answer.locked) {
            throw ControlError(control::errorFailed, "开启配对失败：locked");
        }
        return "042042";
    }
    void cancel() override { note("cancel"); }
    void disconnect(const std::string& d) override { note("disconnect " + d); }
    void unpair(const std::string& d) override {
        note("unpair " + d);
        if (d == "9") {
            throw ControlError(control::errorNoSuchDevice, "no such device: 9");
        }
    }
    void setTelemetry(bool on) override { note(on ? "telemetry on" : "telemetry off"); }
    void show() override { note("show"); }
    void quit() override { note("quit"); }
    std::string pairingCode(bool callerIsThisProgram) override {
        note(callerIsThisProgram ? "pairingCode this program" : "pairingCode another program");
        if (!callerIsThisProgram) {
            throw ControlError(control::errorNotAllowed, "not for you");
        }
        return "042042";
    }
    std::map<std::string, std::string> settingsAnswer = {{"port", "50100"},
                                                         {"computerName", "Büro"}};
    std::map<std::string, std::string> settings() override {
        note("settings");
        return settingsAnswer;
    }
    void setSetting(const std::string& key, const std::string& value) override {
        note("set " + key + "=" + value);
        if (key == "port" && value == "80") {
            throw ControlError(control::errorInvalidValue, "port takes auto or 1024 to 65534");
        }
    }
    void restart() override { note("restart"); }

private:
    std::shared_ptr<MainQueue> queue_;
};

class ControlBus : public ::testing::Test {
protected:
    void SetUp() override {
        bus.exportAddress();
        queue = std::make_shared<IoContextMainQueue>();
    }
    // Runs `client` on a thread of its own while this (main) thread serves the main queue.
    template <typename F> auto asClient(F client) {
        auto future = std::async(std::launch::async, client);
        EXPECT_TRUE(
            queue->runUntil([&] { return future.wait_for(0s) == std::future_status::ready; }, 30s));
        return future.get();
    }

    DbusFixture bus{DbusFixture::Kind::session};
    std::shared_ptr<IoContextMainQueue> queue;
};

TEST_F(ControlBus, EveryMethodReachesTheHandlerOnTheMainQueue) {
    auto handler = std::make_shared<RecordingHandler>(queue);
    handler->answer = {"123456", false,    "启动监听失败：x", "usb", false, "no DISPLAY is set",
                       true,     "Büro-PC"};
    // Everything a window shows besides, in Status().
    handler->answer.port = 50100;
    handler->answer.pairingPort = 50101;
    handler->answer.pinSecondsLeft = 42;
    handler->answer.storeProblem = "pairing store error -26008";
    handler->answer.notice = "配对被拒绝（配对码不对）：192.0.2.7";
    handler->answer.discoverable = false;
    handler->answer.guide = {"step one", "第二步"};
    handler->answer.pinExpiresAt = 1765432100.25;
    handler->answer.noticeDetail = ControlNotice{"wrongPIN", "wifi", "192.0.2.7", 401, "PIN 错误"};
    handler->answer.offersKdeGrant = true;
    ControlServer server(handler, queue);
    const auto [basic, state, devices, pin, code, settings] = asClient([] {
        ControlClient c;
        auto b = c.basicState();
        auto s = c.state();
        auto d = c.devices();
        auto p = c.pair();
        c.cancel();
        c.disconnect("2");
        c.unpair("AAAA-1");
        c.setTelemetry(false);
        c.setTelemetry(true);
        c.show();
        c.quit();
        auto code = c.pairingCode(); // asked by this very program
        auto settings = c.settings();
        c.setSetting("port", "auto");
        c.restart();
        return std::make_tuple(b, s, d, p, code, settings);
    });
    EXPECT_EQ(state, handler->answer);
    // State() carries the first version's fields only.
    EXPECT_EQ(basic.pin, handler->answer.pin);
    EXPECT_EQ(basic.serviceName, "Büro-PC");
    EXPECT_EQ(basic.port, std::nullopt);
    EXPECT_TRUE(basic.guide.empty());
    EXPECT_EQ(devices, (std::vector<ControlDevice>{{"AAAA-1", "iPad Pro", true},
                                                   {"BBBB-2", "Kitchen “iPad”", false}}));
    EXPECT_EQ(pin, "042042");
    EXPECT_EQ(code, "042042");
    EXPECT_EQ(settings, handler->settingsAnswer);
    EXPECT_EQ(handler->calls,
              (std::vector<std::string>{"state", "state", "devices", "pair", "cancel",
                                        "disconnect 2", "unpair AAAA-1", "telemetry off",
                                        "telemetry on", "show", "quit", "pairingCode this program",
                                        "settings", "set port=auto", "restart"}));
    EXPECT_FALSE(handler->offMainThread);
    // Nothing published: an empty state reads back as "none" everywhere.
    handler->answer = {};
    EXPECT_EQ(asClient([] { return ControlClient().state(); }), ControlState{});
}

TEST_F(ControlBus, CallersSeeTheHostsErrors) {
    auto handler = std::make_shared<RecordingHandler>(queue);
    handler->answer.locked = true;
    ControlServer server(handler, queue);
    const auto errorOf = [&](std::function<void(ControlClient&)> call) {
        return asClient([call] {
            try {
                ControlClient c;
                call(c);
            } catch (const ControlError& e) {
                return e.name() + " | " + e.what();
            }
            return std::string("no error");
        });
    };
    EXPECT_EQ(errorOf([](ControlClient& c) { c.unpair("9"); }),
              std::string(control::errorNoSuchDevice) + " | no such device: 9");
    EXPECT_EQ(errorOf([](ControlClient& c) { c.pair(); }),
              std::string(control::errorFailed) + " | 开启配对失败：locked");
    EXPECT_EQ(errorOf([](ControlClient& c) { c.setSetting("port", "80"); }),
              std::string(control::errorInvalidValue) + " | port takes auto or 1024 to 65534");
    // A value no setting could take is refused at the bus, not copied to the host.
    EXPECT_EQ(errorOf([](ControlClient& c) {
                  c.setSetting("computerName", std::string(5000, 'x'));
              }).rfind(std::string(control::errorInvalidValue) + " | ", 0),
              0u);
    EXPECT_EQ(std::count_if(handler->calls.begin(), handler->calls.end(),
                            [](const std::string& call) { return call.size() > 1000; }),
              0);
    // A second host on the same bus cannot take the name.
    EXPECT_THROW(ControlServer second(handler, queue), ControlError);
    // The handler gone (the host shutting down): an error, not a hang.
    handler.reset();
    EXPECT_EQ(errorOf([](ControlClient& c) { c.show(); }),
              std::string(control::errorFailed) + " | the host is shutting down");
}

// What leaves the host through `quillon ctl` is shown as the console shows a client's text:
// controls escaped, overrides visible, lengths bounded; an argument no device could have is
// refused by the bus side without reaching the host or being echoed back.
TEST_F(ControlBus, CtlOutputIsEscapedAndBounded) {
    auto handler = std::make_shared<RecordingHandler>(queue);
    handler->deviceAnswer = {{"AAAA-1", "Evil\x1b]0;owned\x07\r\nfake line\u202e", true},
                             {"BBBB-2", std::string(65536, 'N'), false}};
    handler->answer.lastError = "error\x1b[2J";
    ControlServer server(handler, queue);
    const auto ctl = [&](std::vector<std::string> args) {
        return asClient([args]() mutable {
            args.insert(args.begin(), "ctl");
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            std::ostringstream out, err;
            const int status =
                runControlCommand(static_cast<int>(args.size()), argv.data(), out, err);
            return std::make_tuple(status, out.str(), err.str());
        });
    };
    const auto [status, out, err] = ctl({"devices"});
    EXPECT_EQ(status, 0);
    const auto lines = out.substr(0, out.find('\n'));
    EXPECT_EQ(lines, "1. ● Evil\\x1B]0;owned\\x07\\x0D\\x0Afake line\\u{202E}  [AAAA-1]");
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_LT(out.size(), 600u) << "a 64 KB name is cut";
    EXPECT_NE(out.find("…(65536 bytes in all)"), std::string::npos);
    const auto [stateStatus, stateOut, stateErr] = ctl({"state"});
    EXPECT_NE(stateOut.find("error\\x1B[2J"), std::string::npos) << stateOut;

    // A megabyte-long device argument: refused at the bus, named by its length, not echoed.
    const std::string huge(1 << 20, 'A');
    const auto [hugeStatus, hugeOut, hugeErr] = ctl({"unpair", huge});
    EXPECT_EQ(hugeStatus, 1);
    EXPECT_LT(hugeErr.size(), 200u);
    EXPECT_NE(hugeErr.find("1048576 bytes"), std::string::npos) << hugeErr;
    EXPECT_EQ(std::count(handler->calls.begin(), handler->calls.end(), "unpair " + huge), 0);
}

// A window client hears Changed() when the host says its state changed, however many times it
// said so before the bus thread ran.
TEST_F(ControlBus, ChangesAreSignalledToListeners) {
    auto handler = std::make_shared<RecordingHandler>(queue);
    ControlServer server(handler, queue);
    sd_bus* listener = nullptr;
    ASSERT_GE(sd_bus_new(&listener), 0);
    sd_bus_set_address(listener, bus.address().c_str());
    sd_bus_set_bus_client(listener, 1);
    ASSERT_GE(sd_bus_start(listener), 0);
    std::atomic<int> heard{0};
    ASSERT_GE(sd_bus_match_signal(
                  listener, nullptr, control::busName, control::objectPath, control::interface,
                  "Changed",
                  [](sd_bus_message*, void* count, sd_bus_error*) {
                      ++*static_cast<std::atomic<int>*>(count);
                      return 0;
                  },
                  &heard),
              0);
    // The match is in place once the daemon answered a call after it.
    sd_bus_call_method(listener, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus", "GetId", nullptr, nullptr, "");
    server.notifyChanged();
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (heard.load() == 0 && std::chrono::steady_clock::now() < until) {
        while (sd_bus_process(listener, nullptr) > 0) {
        }
        sd_bus_wait(listener, 100000);
    }
    EXPECT_EQ(heard.load(), 1);
    sd_bus_flush_close_unref(listener);
}

// The PIN goes to this program's own window only: another program on the same bus (here
// dbus-send) is told by the server that it is not this program, whatever it asks.
TEST_F(ControlBus, ThePairingCodeIsForThisProgramOnly) {
    auto handler = std::make_shared<RecordingHandler>(queue);
    ControlServer server(handler, queue);
    TempDir dir;
    ChildProcess::Options o;
    o.argv = {"dbus-send",         "--session",
              "--print-reply",     std::string("--dest=") + control::busName,
              control::objectPath, std::string(control::interface) + ".PairingCode"};
    o.outputFile = dir.path() + "/dbus-send.txt";
    ChildProcess other(o);
    std::optional<int> status;
    ASSERT_TRUE(queue->runUntil(
        [&] {
            status = other.wait(std::chrono::milliseconds(0));
            return status.has_value();
        },
        20s));
    EXPECT_NE(other.output().find(control::errorNotAllowed), std::string::npos) << other.output();
    EXPECT_EQ(other.output().find("042042"), std::string::npos) << other.output();
    EXPECT_EQ(asClient([] { return ControlClient().pairingCode(); }), "042042");
    EXPECT_EQ(handler->calls, (std::vector<std::string>{"pairingCode another program",
                                                        "pairingCode this program"}));
}

// The window's side: it holds the session's one window name, hears a second start's Show(),
// and follows the host (its name coming and going, its Changed()) with every answer delivered
// from process(), never from inside the call that asked.
TEST_F(ControlBus, TheWindowHoldsTheNameAndFollowsTheHostWithoutBlocking) {
    WindowBus window;
    ASSERT_TRUE(window.claimWindow(0ms));
    {
        WindowBus second;
        EXPECT_FALSE(second.claimWindow(200ms));
    }
    std::vector<std::string> heard;
    window.onShow([&] { heard.push_back("show"); });
    window.watchHost([&](bool running) { heard.push_back(running ? "appeared" : "vanished"); },
                     [&] { heard.push_back("changed"); });
    const auto pump = [&](const std::function<bool()>& done) {
        return queue->runUntil(
            [&] {
                window.process();
                return done();
            },
            15s);
    };
    // The watches are in place once the bus answered a call issued after them.
    std::optional<ControlError> failure;
    bool answered = false;
    window.status([&](std::optional<ControlState> state, std::optional<ControlError> error) {
        answered = true;
        EXPECT_FALSE(state);
        failure = std::move(error);
    });
    EXPECT_FALSE(answered);
    ASSERT_TRUE(pump([&] { return answered; }));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->name(), "not-running");

    // A second start finds the name taken and asks its owner to come to the front.
    auto second = std::async(std::launch::async, [] { return ControlClient().showWindow(5s); });
    ASSERT_TRUE(pump([&] { return second.wait_for(0s) == std::future_status::ready; }));
    EXPECT_TRUE(second.get());

    auto handler = std::make_shared<RecordingHandler>(queue);
    handler->answer.serviceName = "desk";
    auto server = std::make_unique<ControlServer>(handler, queue);
    ASSERT_TRUE(pump([&] { return heard.size() == 2; }));
    std::optional<ControlState> state;
    std::optional<std::string> refusal;
    window.status([&](std::optional<ControlState> s, std::optional<ControlError>) { state = s; });
    window.setSetting("port", "80", [&](std::optional<ControlError> error) {
        refusal = error ? error->what() : "stored";
    });
    ASSERT_TRUE(pump([&] { return state && refusal; }));
    EXPECT_EQ(state->serviceName, "desk");
    EXPECT_EQ(*refusal, "port takes auto or 1024 to 65534");
    server->notifyChanged();
    ASSERT_TRUE(pump([&] { return heard.size() == 3; }));
    server.reset();
    ASSERT_TRUE(pump([&] { return heard.size() == 4; }));
    EXPECT_EQ(heard, (std::vector<std::string>{"show", "appeared", "changed", "vanished"}));
    EXPECT_EQ(handler->calls, (std::vector<std::string>{"state", "set port=80"}));
}

TEST_F(ControlBus, NoHostAndNoBusAreSaidAsSuch) {
    const auto errorName = [](std::function<void()> call) {
        try {
            call();
        } catch (const ControlError& e) {
            return e.name();
        }
        return std::string("no error");
    };
    EXPECT_EQ(errorName([] { ControlClient().state(); }), "not-running");
    TempDir dir;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.path() + "/none").c_str(), 1);
    EXPECT_EQ(errorName([] { ControlClient().state(); }), "no-bus");
    auto handler = std::make_shared<RecordingHandler>(queue);
    EXPECT_EQ(errorName([&] { ControlServer server(handler, queue); }), "no-bus");
    EXPECT_TRUE(handler->calls.empty());
}

TEST(InstanceLock, OneHolderAtATimeAndAWaitingRelaunchGetsItWhenReleased) {
    TempDir dir;
    const std::string path = dir.path() + "/quillon.lock";
    auto first = InstanceLock::acquire(path);
    ASSERT_TRUE(first);
    EXPECT_FALSE(InstanceLock::acquire(path));
    first.reset();
    auto second = InstanceLock::acquire(path);
    ASSERT_TRUE(second);

    std::thread release([&] {
        std::this_thread::sleep_for(300ms);
        second.reset();
    });
    auto waited = InstanceLock::acquire(path, 5s);
    release.join();
    EXPECT_TRUE(waited);
    EXPECT_FALSE(InstanceLock::acquire(path, 200ms));
}

// Whatever else is planted at the path is refused with a reason, never used or followed (a
// symbolic link used to switch the guard off silently).
TEST(InstanceLock, RefusesAnythingButARegularFileOfItsOwn) {
    TempDir dir;
    const std::string path = dir.path() + "/quillon.lock";
    const std::string target = dir.path() + "/elsewhere";
    struct Case {
        const char* name;
        std::function<void()> plant;
        const char* says;
        bool needsRoot = false; // only root can give a file to another user
    };
    const Case cases[] = {
        {"a symbolic link to a file",
         [&] {
             std::ofstream(target).put('x');
             ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
         },
         "symbolic link"},
        {"a dangling symbolic link", [&] { ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0); },
         "symbolic link"},
        {"a directory", [&] { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); }, path.c_str()},
        {"another user's file",
         [&] {
             std::ofstream(path).put('x');
             ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
         },
         "not a regular file of this user", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        std::filesystem::remove_all(path);
        std::filesystem::remove_all(target);
        c.plant();
        try {
            auto lock = InstanceLock::acquire(path);
            ADD_FAILURE() << "acquired";
        } catch (const InstanceLockError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    // Nothing was created through the dangling link.
    std::filesystem::remove_all(path);
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    EXPECT_THROW(InstanceLock::acquire(path), InstanceLockError);
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(InstanceLock, DefaultPathIsInTheRuntimeDirectory) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(InstanceLock::defaultPath(), std::string(runtime) + "/quillon.lock");
}

} // namespace
