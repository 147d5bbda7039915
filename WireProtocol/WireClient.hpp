#pragma once

#include "WireProtocol/Bytes.hpp"
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/PSKProvider.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;

namespace quillon::wire {

class WireClientError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The tablet's side of a link: a blocking TLS 1.3 PSK connection that sends and receives
// frames. Used by the command-line client, the tests and the benchmarks. One thread at a time.
class WireClient {
public:
    struct Options {
        std::chrono::milliseconds timeout{5000}; // connect and handshake
        std::string sourceAddress;               // bind the local end here (tests)
    };

    // Connects and completes the handshake; throws WireClientError with a readable text.
    static std::unique_ptr<WireClient> connect(const std::string& host, std::uint16_t port,
                                               const SymmetricKey& key, std::string_view identity,
                                               const Options& options);
    static std::unique_ptr<WireClient> connect(const std::string& host, std::uint16_t port,
                                               const SymmetricKey& key, std::string_view identity) {
        return connect(host, port, key, identity, Options{});
    }
    ~WireClient();
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    // Throw WireClientError when the connection is broken.
    void send(const ControlMessage& message);
    // Plaintext bytes in one TLS write (several frames at once, or deliberately bad ones).
    void sendBytes(ByteView bytes);

    // The next message; nothing when none came within `timeout` or the peer closed (closed()
    // tells which). Frames of unknown type are skipped; undecodable payloads throw.
    std::optional<ControlMessage> receive(std::chrono::milliseconds timeout);
    // True once the peer ended the connection (close_notify, end of stream or reset).
    bool closed() const noexcept { return closed_; }
    // Reads and drops everything until the peer closes; true when it did within `timeout`.
    bool waitForClose(std::chrono::milliseconds timeout);

    int fd() const noexcept { return fd_; }
    SSL* ssl() const noexcept { return ssl_; }

private:
    WireClient() = default;
    bool readSome(std::chrono::milliseconds timeout);

    int fd_ = -1;
    SSL* ssl_ = nullptr;
    FrameDecoder decoder_;
    bool closed_ = false;
};

// A connected TCP socket (no TLS) to host:port, or -1 with errno set. Tests use it for idle and
// trickling peers.
int connectTCP(const std::string& host, std::uint16_t port, const std::string& sourceAddress = {},
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

} // namespace quillon::wire
