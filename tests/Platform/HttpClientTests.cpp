// test-labels: platform;concurrency
#include "Platform/Network/HttpClient.hpp"

#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

using namespace quillon;
using namespace quillon::testing;
using namespace std::chrono_literals;

namespace {

// A loopback listener that never accepts: the kernel completes connections into its backlog,
// requests are sent and never answered.
class SilentServer {
public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        port_ = ntohs(addr.sin_port);
    }
    ~SilentServer() { ::close(fd_); }
    std::string authority() const { return "127.0.0.1:" + std::to_string(port_); }
    // True when a connection is waiting to be accepted within `timeout`.
    bool contacted(std::chrono::milliseconds timeout) const {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(HttpURLTest, QueryIsReplacedOnlyForHttpURLs) {
    struct Case {
        const char* url;
        const char* query;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"http://127.0.0.1:8/e", "a=1&b=2", "http://127.0.0.1:8/e?a=1&b=2"},
        {"https://example.invalid/e?stale=1", "a=1", "https://example.invalid/e?a=1"},
        {"https://example.invalid/e?stale=1", "", "https://example.invalid/e"},
        {"HTTP://example.invalid", "a=%26", "http://example.invalid/?a=%26"},
        {"ftp://127.0.0.1/e", "a=1", std::nullopt},
        {"file:///etc/passwd", "a=1", std::nullopt},
        {"::not a url::", "a=1", std::nullopt},
        {"", "a=1", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(platform::withQuery(c.url, c.query), c.expected);
    }
}

TEST(HttpClientTest, UnansweredRequestsEndByTimeoutOrCancel) {
    SilentServer server;
    {
        auto client = platform::makeCurlHttpClient(300ms);
        client->get("http://" + server.authority() + "/one");
        client->get("http://" + server.authority() + "/two");
        EXPECT_EQ(client->pendingCount(), 2u);
        EXPECT_TRUE(server.contacted(2s));
        // Never answered: each is given up after the request timeout.
        EXPECT_TRUE(waitUntil([&] { return client->pendingCount() == 0; }, 5s));
    }
    auto client = platform::makeCurlHttpClient(60s);
    client->get("http://" + server.authority() + "/three");
    client->get("http://" + server.authority() + "/four");
    EXPECT_EQ(client->pendingCount(), 2u);
    client->cancelAll();
    EXPECT_EQ(client->pendingCount(), 0u);
    client->get("http://" + server.authority() + "/five");
    EXPECT_EQ(client->pendingCount(), 1u);
    client.reset(); // destroyed with a request in flight: abandoned, nothing left running
}

TEST(HttpClientTest, OtherSchemesAndBrokenURLsStartNothing) {
    SilentServer server;
    auto client = platform::makeCurlHttpClient();
    const std::vector<std::string> urls = {"ftp://" + server.authority() + "/e",
                                           "gopher://" + server.authority() + "/e",
                                           "file:///etc/hostname", "not a url"};
    for (const auto& url : urls) {
        client->get(url);
    }
    EXPECT_EQ(client->pendingCount(), 0u);
    EXPECT_FALSE(server.contacted(300ms));
}

} // namespace
