// test-labels: usb;concurrency
#include "Platform/Usbmux/USBMuxClient.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/UsbmuxStandIn.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

namespace quillon::platform::usbmux {
namespace {

using testing::TempDir;
using testing::UsbmuxStandIn;
namespace P = USBMuxProtocol;
using namespace std::chrono_literals;

// A daemon that answers one connection with a script: it reads one request, then writes
// `reply` and either closes or keeps the connection until the client goes.
class ScriptedDaemon {
public:
    ScriptedDaemon(std::string path, wire::Bytes reply, bool closeAfter) : path_(std::move(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.data(), path_.size());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        thread_ = std::thread([this, reply = std::move(reply), closeAfter] {
            const int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) {
                return;
            }
            wire::Bytes head(16);
            if (::recv(client, head.data(), 16, MSG_WAITALL) == 16) {
                const auto total = *P::totalLength(head);
                head.resize(total);
                ::recv(client, head.data() + 16, total - 16, MSG_WAITALL);
                std::lock_guard lock(mutex_);
                request_ = head;
            }
            ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            if (!closeAfter) {
                // Until the client closes its end.
                char byte;
                while (::recv(client, &byte, 1, 0) > 0) {
                    peerSentAfterReply_ = true;
                }
            }
            ::close(client);
            std::lock_guard lock(mutex_);
            clientClosed_ = true;
        });
    }
    ~ScriptedDaemon() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    wire::Bytes request() {
        std::lock_guard lock(mutex_);
        return request_;
    }
    bool clientClosed() {
        std::lock_guard lock(mutex_);
        return clientClosed_;
    }

private:
    std::string path_;
    int fd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    wire::Bytes request_;
    bool clientClosed_ = false;
    bool peerSentAfterReply_ = false;
};

wire::Bytes replyWith(const PlistDictionary& d, std::uint32_t tag = 1) {
    return P::encode(d, tag);
}

USBMuxClient clientFor(const std::string& path, std::chrono::milliseconds timeout = 5000ms) {
    USBMuxClient::Options options;
    options.socketPath = path;
    options.exchangeTimeout = timeout;
    return USBMuxClient(options);
}

template <typename F> std::optional<USBMuxError> muxErrorOf(F&& f) {
    try {
        f();
    } catch (const USBMuxError& e) {
        return e;
    }
    return std::nullopt;
}

PlistDictionary entry(std::int64_t id, const char* type) {
    return PlistDictionary{
        {"DeviceID", id},
        {"Properties", PlistDictionary{{"DeviceID", id},
                                       {"SerialNumber", "S" + std::to_string(id)},
                                       {"ConnectionType", type}}}};
}

TEST(USBMuxClient, ListsOnlyUSBDevicesInReplyOrder) {
    TempDir dir;
    const auto path = dir.path() + "/mux";
    ScriptedDaemon daemon(
        path,
        replyWith({{"DeviceList", PlistArray{entry(5, "Network"), entry(9, "USB"),
                                             PlistDictionary{{"DeviceID", 1}}, entry(2, "USB")}}}),
        true);
    auto client = clientFor(path);
    EXPECT_EQ(client.listUSBDevices(), (std::vector<P::Device>{{9, "S9", true}, {2, "S2", true}}));
    EXPECT_EQ(daemon.request(), P::encode(P::listDevices(), 1)) << "tag 1 on the first request";
    EXPECT_EQ(client.tag(), 1u);
}

TEST(USBMuxClient, ConnectResultsAndWhoClosesTheSocket) {
    struct Case {
        const char* name;
        PlistDictionary reply;
        std::optional<USBMuxError> error;
    };
    const Case cases[] = {
        {"connected", {{"MessageType", "Result"}, {"Number", 0}}, std::nullopt},
        {"refused", {{"MessageType", "Result"}, {"Number", 3}}, USBMuxError::connectRejected(3)},
        {"no Number", {{"MessageType", "Result"}}, USBMuxError::connectRejected(-1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto path = dir.path() + "/mux";
        auto reply = replyWith(c.reply);
        const std::string greeting = "from the tablet";
        if (!c.error) {
            reply.insert(reply.end(), greeting.begin(), greeting.end());
        }
        ScriptedDaemon daemon(path, reply, false);
        auto client = clientFor(path);
        int fd = -1;
        const auto error = muxErrorOf([&] { fd = client.connect(7, 49281); });
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(daemon.request(), P::encode(P::connect(7, 49281), 1));
        if (!c.error) {
            // The descriptor is the stream: bytes after the reply belong to the device.
            ASSERT_GE(fd, 0);
            std::string got(greeting.size(), '\0');
            EXPECT_EQ(::recv(fd, got.data(), got.size(), MSG_WAITALL),
                      static_cast<ssize_t>(got.size()));
            EXPECT_EQ(got, greeting);
            EXPECT_FALSE(daemon.clientClosed());
            ::close(fd);
        }
        EXPECT_TRUE(testing::waitUntil([&] { return daemon.clientClosed(); }, 5000ms))
            << "a refused connect leaves no socket open";
    }
}

TEST(USBMuxClient, BadRepliesAndSilence) {
    struct Case {
        const char* name;
        wire::Bytes reply;
        bool closeAfter;
        USBMuxError error;
    };
    auto full = replyWith({{"DeviceList", PlistArray{}}});
    auto lengthSixteen = full;
    lengthSixteen[0] = 16;
    lengthSixteen[1] = lengthSixteen[2] = lengthSixteen[3] = 0;
    auto tooLong = full;
    tooLong[0] = tooLong[1] = tooLong[2] = 0;
    tooLong[3] = 0x7f; // ~2 GiB announced
    const Case cases[] = {
        {"length field 16", lengthSixteen, false, USBMuxError::malformed()},
        {"length beyond the bound", tooLong, false, USBMuxError::malformed()},
        {"closed mid-header", wire::Bytes(full.begin(), full.begin() + 10), true,
         USBMuxError::socketUnavailable()},
        {"closed mid-payload", wire::Bytes(full.begin(), full.begin() + 40), true,
         USBMuxError::socketUnavailable()},
        {"silence", {}, false, USBMuxError::socketUnavailable()},
        {"half a reply, then silence", wire::Bytes(full.begin(), full.begin() + 40), false,
         USBMuxError::socketUnavailable()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto path = dir.path() + "/mux";
        ScriptedDaemon daemon(path, c.reply, c.closeAfter);
        auto client = clientFor(path, 300ms);
        EXPECT_EQ(muxErrorOf([&] { client.listUSBDevices(); }), c.error);
        EXPECT_TRUE(testing::waitUntil([&] { return daemon.clientClosed(); }, 5000ms));
    }
}

TEST(USBMuxClient, NoDaemonIsSocketUnavailable) {
    TempDir dir;
    const auto path = dir.path() + "/mux";
    auto client = clientFor(path);
    EXPECT_EQ(muxErrorOf([&] { client.listUSBDevices(); }), USBMuxError::socketUnavailable())
        << "ENOENT";
    {
        UsbmuxStandIn standIn(path);
        standIn.stop();
        EXPECT_EQ(muxErrorOf([&] { client.connect(1, 49281); }), USBMuxError::socketUnavailable())
            << "socket file left behind: ECONNREFUSED";
        EXPECT_TRUE(standIn.requests().empty());
    }
    auto tooLong = clientFor("/" + std::string(200, 'x'));
    EXPECT_EQ(muxErrorOf([&] { tooLong.listUSBDevices(); }), USBMuxError::socketUnavailable());
}

TEST(USBMuxClient, TagCountsUpAndWraps) {
    TempDir dir;
    UsbmuxStandIn standIn(dir.path() + "/mux");
    standIn.attach({4, "A", "USB", 0});
    USBMuxClient::Options options;
    options.socketPath = standIn.socketPath();
    options.initialTag = 0xFFFFFFFE;
    USBMuxClient client(options);
    EXPECT_EQ(client.listUSBDevices(), (std::vector<P::Device>{{4, "A", true}}));
    EXPECT_EQ(client.listUSBDevices().size(), 1u);
    EXPECT_EQ(muxErrorOf([&] { client.connect(4, 49281); }), USBMuxError::connectRejected(3))
        << "nothing listens on the device port";
    EXPECT_EQ(muxErrorOf([&] { client.connect(8, 49281); }), USBMuxError::connectRejected(2));
    EXPECT_EQ(standIn.requests(),
              (std::vector<std::string>{"ListDevices tag=4294967295", "ListDevices tag=0",
                                        "Connect tag=1 device=4 port=33216",
                                        "Connect tag=2 device=8 port=33216"}));
}

TEST(USBMuxClient, SocketPathFromTheEnvironment) {
    struct Case {
        const char* value;
        std::string path;
    };
    for (const Case& c :
         {Case{nullptr, "/var/run/usbmuxd"}, Case{"UNIX:/tmp/m", "/tmp/m"},
          Case{"UNIX:", "/var/run/usbmuxd"}, Case{"127.0.0.1:27015", "/var/run/usbmuxd"},
          Case{"unix:/tmp/m", "/var/run/usbmuxd"}}) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        EXPECT_EQ(USBMuxClient::socketPathFromEnvironment(c.value), c.path);
    }
    TempDir dir;
    UsbmuxStandIn standIn(dir.path() + "/env-mux");
    ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + standIn.socketPath()).c_str(), 1);
    USBMuxClient client;
    ::unsetenv("USBMUXD_SOCKET_ADDRESS");
    EXPECT_EQ(client.socketPath(), standIn.socketPath());
    EXPECT_TRUE(client.listUSBDevices().empty());
    EXPECT_EQ(standIn.requests(), std::vector<std::string>{"ListDevices tag=1"});
}

// The stand-in's own faults, as the transport tests use them.
TEST(USBMuxClient, StandInFaults) {
    TempDir dir;
    UsbmuxStandIn standIn(dir.path() + "/mux");
    auto client = clientFor(standIn.socketPath(), 300ms);
    for (auto [fault, error] :
         {std::pair{UsbmuxStandIn::Fault::silence, USBMuxError::socketUnavailable()},
          std::pair{UsbmuxStandIn::Fault::closeMidReply, USBMuxError::socketUnavailable()},
          std::pair{UsbmuxStandIn::Fault::badLength, USBMuxError::malformed()}}) {
        standIn.setFault(fault);
        EXPECT_EQ(muxErrorOf([&] { client.listUSBDevices(); }), error);
    }
    standIn.setFault(UsbmuxStandIn::Fault::none);
    EXPECT_TRUE(client.listUSBDevices().empty());
    EXPECT_EQ(standIn.requests(),
              (std::vector<std::string>{"ListDevices tag=1", "ListDevices tag=2",
                                        "ListDevices tag=3", "ListDevices tag=4"}));
}

} // namespace
} // namespace quillon::platform::usbmux
