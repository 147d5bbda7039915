// test-labels: coordinator;concurrency
// test-timeout: 120
#include "Quillon/Host/Telemetry.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Network/HttpClient.hpp"
#include "Platform/Session/SessionLockSource.hpp"
#include "Quillon/Host/Version.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/DbusFixture.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

// A tiny HTTP server on 127.0.0.1 (port chosen by the system) that answers every request with
// 204 and records each request target ("/path?query").
class RecordingHttpServer {
public:
    RecordingHttpServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd_, 16) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~RecordingHttpServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

    std::string url(const std::string& pathAndQuery = "/corvane/e") const {
        return "http://127.0.0.1:" + std::to_string(port_) + pathAndQuery;
    }
    int port() const { return port_; }
    std::vector<std::string> targets() {
        std::lock_guard lock(mutex_);
        return targets_;
    }
    std::size_t connections() const { return connections_; }

private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                continue;
            }
            ++connections_;
            std::string request;
            char buf[2048];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 2000) <= 0) {
                    break;
                }
                const ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                request.append(buf, static_cast<std::size_t>(n));
            }
            // "GET <target> HTTP/1.1"
            const auto sp1 = request.find(' ');
            const auto sp2 = request.find(' ', sp1 + 1);
            if (request.rfind("GET ", 0) == 0 && sp2 != std::string::npos) {
                std::lock_guard lock(mutex_);
                targets_.push_back(request.substr(sp1 + 1, sp2 - sp1 - 1));
            }
            const char reply[] = "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n"
                                 "Connection: close\r\n\r\n";
            [[maybe_unused]] ssize_t w = ::write(c, reply, sizeof reply - 1);
            ::close(c);
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> connections_{0};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> targets_;
};

std::string arch() {
    utsname u{};
    ::uname(&u);
    return u.machine;
}

class TelemetryTest : public ::testing::Test {
protected:
    void SetUp() override {
        mainQueue_ = std::make_shared<platform::IoContextMainQueue>();
        ::setenv("CORVANE_TELEMETRY_URL", server_.url().c_str(), 1);
        ::unsetenv("DO_NOT_TRACK");
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        defaults_.remove("telemetry.enabled");
    }

    // A telemetry over the fixture's services with the given intervals.
    std::unique_ptr<Telemetry> make(std::chrono::milliseconds startDelay,
                                    std::chrono::milliseconds period) {
        Telemetry::Options options;
        options.startDelay = startDelay;
        options.period = period;
        return std::make_unique<Telemetry>(
            Telemetry::Services{mainQueue_, defaults_, http_,
                                platform::makeDBusSessionLockSource()},
            options);
    }

    // Runs the main queue (the lock monitor's callbacks arrive there) for `d`.
    void idle(std::chrono::milliseconds d) { mainQueue_->runFor(d); }
    bool awaitRequests(std::size_t n, std::chrono::milliseconds timeout = 5s) {
        return mainQueue_->runUntil([&] { return server_.targets().size() >= n; }, timeout);
    }
    static std::string expected(const std::string& middle) {
        // keys in ascending order: arch, e, [f,] os, [sec,] t, v
        return "/corvane/e?arch=" + arch() + "&" + middle + "&t=mac&v=" + kVersion;
    }

    RecordingHttpServer server_;
    TempDir home_;
    platform::Defaults defaults_{home_.path() + "/defaults.json"};
    std::shared_ptr<platform::HttpClient> http_ = platform::makeCurlHttpClient();
    std::shared_ptr<platform::IoContextMainQueue> mainQueue_;
};

TEST_F(TelemetryTest, StartReportCarriesExactlyTheFixedKeys) {
    // The endpoint's own query is replaced, not extended.
    ::setenv("CORVANE_TELEMETRY_URL", server_.url("/corvane/e?stale=1").c_str(), 1);
    auto telemetry = make(50ms, 1h);
    telemetry->notePaired(true);
    telemetry->start();
    telemetry->start(); // the sequence runs once
    ASSERT_TRUE(awaitRequests(1));
    idle(300ms);
    EXPECT_EQ(server_.targets(), std::vector<std::string>{expected("e=start&os=Linux")});
}

TEST_F(TelemetryTest, NothingLeavesBeforeADeviceIsPaired) {
    auto telemetry = make(20ms, 150ms);
    telemetry->start();
    telemetry->bump("connect_wifi");
    idle(700ms); // the start report and several heartbeats come and go
    EXPECT_TRUE(server_.targets().empty());
    EXPECT_EQ(server_.connections(), 0u);

    // The counters were kept; the start report is gone for good.
    telemetry->notePaired(true);
    ASSERT_TRUE(awaitRequests(1));
    const auto target = server_.targets().front();
    EXPECT_NE(target.find("e=hb&f=connect_wifi:1&os=Linux&sec="), std::string::npos) << target;
}

TEST_F(TelemetryTest, HeartbeatCarriesCountersAndSkipsEmptySubSecondReports) {
    auto telemetry = make(1h, 1100ms);
    telemetry->notePaired(true);
    telemetry->bump("connect_wifi");
    telemetry->bump("pair");
    telemetry->bump("connect_wifi");
    telemetry->bump("connect_bluetooth"); // not a counted name
    telemetry->start();
    ASSERT_TRUE(awaitRequests(1));
    EXPECT_EQ(server_.targets()[0], expected("e=hb&f=connect_wifi:2,pair:1&os=Linux&sec=1"));
    // The next report has no counters: "f" is left out, "sec" still says how long it was.
    ASSERT_TRUE(awaitRequests(2));
    EXPECT_EQ(server_.targets()[1], expected("e=hb&os=Linux&sec=1"));
    telemetry.reset();

    // With nothing counted, timer firings within a second of the last report send nothing.
    telemetry = make(1h, 300ms);
    telemetry->notePaired(true);
    telemetry->start();
    idle(800ms);
    EXPECT_EQ(server_.targets().size(), 2u);
    ASSERT_TRUE(awaitRequests(3));
    EXPECT_EQ(server_.targets()[2], expected("e=hb&os=Linux&sec=1"));
}

TEST_F(TelemetryTest, NothingWhileLockedAndTheCountersWaitForUnlock) {
    DbusFixture bus(DbusFixture::Kind::session);
    bus.exportAddress();
    DbusPeer screensaver(bus.address());
    screensaver.requestName("org.gnome.ScreenSaver"); // only the locker's own signals count
    auto telemetry = make(1h, 200ms);
    telemetry->notePaired(true);
    telemetry->start();
    ASSERT_FALSE(telemetry->screenLocked()); // waits for the start sequence

    screensaver.emitBool("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", true);
    ASSERT_TRUE(mainQueue_->runUntil([&] { return telemetry->screenLocked(); }, 5s));
    telemetry->bump("connect_usb");
    idle(1500ms);
    EXPECT_TRUE(server_.targets().empty());

    telemetry->bump("connect_usb");
    screensaver.emitBool("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", false);
    ASSERT_TRUE(awaitRequests(1));
    const auto target = server_.targets().front();
    EXPECT_NE(target.find("e=hb&f=connect_usb:2&os=Linux"), std::string::npos) << target;
}

TEST_F(TelemetryTest, SwitchedOffOrUnreachableEndpointsSendNothing) {
    struct Case {
        const char* name;
        std::function<void(Telemetry&)> setup;
    };
    const std::vector<Case> cases = {
        {"DO_NOT_TRACK=1", [](Telemetry&) { ::setenv("DO_NOT_TRACK", "1", 1); }},
        {"telemetry.enabled false", [](Telemetry& t) { t.setEnabled(false); }},
        {"unparsable URL",
         [](Telemetry&) { ::setenv("CORVANE_TELEMETRY_URL", "::not a url::", 1); }},
        {"not http",
         [this](Telemetry&) {
             const auto ftp = "ftp://127.0.0.1:" + std::to_string(server_.port()) + "/corvane/e";
             ::setenv("CORVANE_TELEMETRY_URL", ftp.c_str(), 1);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        auto telemetry = make(10ms, 100ms);
        c.setup(*telemetry);
        telemetry->notePaired(true);
        telemetry->bump("pair");
        telemetry->start();
        idle(700ms);
        EXPECT_TRUE(server_.targets().empty());
        EXPECT_EQ(server_.connections(), 0u);
    }
}

TEST_F(TelemetryTest, SwitchingOffEmptiesTheCounters) {
    auto telemetry = make(1h, 1100ms);
    telemetry->notePaired(true);
    telemetry->bump("pair");
    telemetry->setEnabled(false);
    EXPECT_FALSE(telemetry->isEnabled());
    EXPECT_EQ(defaults_.boolean("telemetry.enabled"), false); // the user's choice is stored
    telemetry->setEnabled(true);
    EXPECT_TRUE(telemetry->isEnabled());
    telemetry->bump("connect_wifi");
    telemetry->start();
    ASSERT_TRUE(awaitRequests(1));
    EXPECT_EQ(server_.targets()[0], expected("e=hb&f=connect_wifi:1&os=Linux&sec=1"));
}

TEST_F(TelemetryTest, QuitReportCarriesWhatIsLeft) {
    auto telemetry = make(1h, 1h);
    telemetry->beforeExit(); // not started: nothing
    telemetry->notePaired(true);
    telemetry->start();
    telemetry->bump("connect_usb");
    telemetry->beforeExit();
    telemetry->waitForPendingReports(5s);
    ASSERT_TRUE(awaitRequests(1));
    EXPECT_EQ(server_.targets(),
              std::vector<std::string>{expected("e=quit&f=connect_usb:1&os=Linux&sec=0")});
}

TEST_F(TelemetryTest, PassiveModeNeverStarts) {
    Telemetry::Options options;
    options.passive = true;
    options.startDelay = 10ms;
    options.period = 100ms;
    Telemetry telemetry(
        Telemetry::Services{mainQueue_, defaults_, http_, platform::makeDBusSessionLockSource()},
        options);
    telemetry.notePaired(true);
    telemetry.bump("pair");
    telemetry.start();
    telemetry.beforeExit();
    idle(500ms);
    EXPECT_EQ(server_.connections(), 0u);
}

} // namespace
