#include "Quillon/Transport/Acceptor.hpp"

#include "WireProtocol/PSKParameters.hpp"

#include <asio/ip/v6_only.hpp>

namespace quillon {

namespace {
constexpr int kAcceptBatch = 64;
// How long the kernel keeps a connection that has sent nothing out of accept(); after that it
// is handed over anyway and meets the admission rules.
constexpr int kDeferAcceptSeconds = 3;
} // namespace

Acceptor::Acceptor(asio::io_context& io) : acceptor_(io), retry_(io) {}

std::error_code Acceptor::bind(std::uint16_t port) {
    std::error_code ec;
    acceptor_.open(asio::ip::tcp::v6(), ec);
    if (!ec) {
        acceptor_.set_option(asio::ip::v6_only(false), ec);
        if (!ec && port != 0) {
            acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        }
        if (!ec) {
            acceptor_.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), port), ec);
        }
        if (ec) {
            std::error_code ignored;
            acceptor_.close(ignored);
        }
    }
    if (ec || !acceptor_.is_open()) {
        ec.clear();
        acceptor_.open(asio::ip::tcp::v4(), ec);
        if (ec) {
            return ec;
        }
        if (port != 0) {
            acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
            if (ec) {
                return ec;
            }
        }
        acceptor_.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port), ec);
        if (ec) {
            return ec;
        }
    }
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        return ec;
    }
    // Accepts after the first of a turn are tried without waiting (see acceptNext()).
    acceptor_.non_blocking(true, ec);
    if (ec) {
        return ec;
    }
    wire::PSKParameters::configureSocket(acceptor_.native_handle());
    wire::PSKParameters::configureListener(acceptor_.native_handle(), kDeferAcceptSeconds);
    const auto endpoint = acceptor_.local_endpoint(ec);
    if (ec) {
        return ec;
    }
    port_ = endpoint.port();
    return {};
}

void Acceptor::start(AcceptHandler onAccepted, FailureHandler onFailure) {
    onAccepted_ = std::move(onAccepted);
    onFailure_ = std::move(onFailure);
    acceptNext();
}

void Acceptor::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    std::error_code ignored;
    retry_.cancel();
    acceptor_.close(ignored);
    onAccepted_ = {};
    onFailure_ = {};
}

void Acceptor::acceptNext() {
    acceptor_.async_accept(
        [self = shared_from_this()](std::error_code ec, asio::ip::tcp::socket socket) {
            if (self->closed_) {
                return;
            }
            if (ec) {
                self->acceptFailed(ec);
                return;
            }
            auto onAccepted = self->onAccepted_; // the handler may close this acceptor
            onAccepted(std::move(socket));
            // Under a flood the kernel's queue of established connections is full, and while
            // it is, the SYN of every newcomer (a real tablet's too) is dropped and retried a
            // second later. Whatever else waits is therefore taken in the same turn, a bounded
            // batch so that reads of connections already accepted still get their turns.
            for (int i = 1; i < kAcceptBatch && !self->closed_; ++i) {
                std::error_code more;
                asio::ip::tcp::socket next(self->acceptor_.get_executor());
                self->acceptor_.accept(next, more);
                if (more) {
                    break; // nothing waiting (or a failure the next asynchronous accept reports)
                }
                onAccepted(std::move(next));
            }
            if (!self->closed_) {
                self->acceptNext();
            }
        });
}

void Acceptor::acceptFailed(std::error_code ec) {
    if (ec == asio::error::operation_aborted) {
        return;
    }
    if (ec != asio::error::connection_aborted && onFailure_) {
        auto onFailure = onFailure_;
        onFailure(ec);
    }
    // Out of descriptors or memory: try again shortly instead of spinning.
    retry_.expires_after(std::chrono::milliseconds(100));
    retry_.async_wait([self = shared_from_this()](std::error_code waitError) {
        if (!waitError && !self->closed_) {
            self->acceptNext();
        }
    });
}

} // namespace quillon
