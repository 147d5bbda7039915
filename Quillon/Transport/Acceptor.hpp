#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

namespace quillon {

// Accepts TCP connections on one port (the system's pick, or a fixed one) and hands each socket on;
// nothing else (no limits, no TLS, no sessions: the transport decides what a socket becomes).
// Listens on
// [::] with IPv4 mapped in or, without IPv6, on 0.0.0.0. Runs on its io context's thread;
// every call is made there.
class Acceptor : public std::enable_shared_from_this<Acceptor> {
public:
    using AcceptHandler = std::function<void(asio::ip::tcp::socket)>;
    // An accept that failed for a reason worth telling (not an aborted peer); accepting goes on
    // after a short pause (out of descriptors or memory passes).
    using FailureHandler = std::function<void(std::error_code)>;

    explicit Acceptor(asio::io_context& io);
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    // Opens, binds and listens on `port` (0: one the system picks); the port is known after
    // success. A fixed port is bound with SO_REUSEADDR, so a restarted host gets it back while
    // its old connections linger in TIME_WAIT.
    std::error_code bind(std::uint16_t port = 0);
    // Starts accepting; the handlers run until close(). Call once, after bind().
    void start(AcceptHandler onAccepted, FailureHandler onFailure);
    // Stops accepting and drops the handlers (and what they hold). Idempotent.
    void close();
    std::uint16_t port() const noexcept { return port_; }

private:
    void acceptNext();
    void acceptFailed(std::error_code ec);

    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    AcceptHandler onAccepted_;
    FailureHandler onFailure_;
    bool closed_ = false;
    std::uint16_t port_ = 0;
};

} // namespace quillon
