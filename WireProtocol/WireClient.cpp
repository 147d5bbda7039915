#include "WireProtocol/WireClient.hpp"

#include "WireProtocol/PSKParameters.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace quillon::wire {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, remainingMs(deadline));
        if (r > 0) {
            return true;
        }
        if (r == 0 || errno != EINTR) {
            return false;
        }
    }
}

// A socket BIO that writes with MSG_NOSIGNAL. OpenSSL's own socket BIO uses write(), so
// writing into a connection the host already closed would raise SIGPIPE and end the whole
// program; a library must not change the process's signal disposition to prevent that.
int bioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    const ssize_t n =
        ::send(BIO_get_fd(bio, nullptr), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(n);
}

int bioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::recv(BIO_get_fd(bio, nullptr), data, static_cast<std::size_t>(length), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(n);
}

long bioControl(BIO* bio, int command, long number, void* pointer) {
    switch (command) {
    case BIO_C_SET_FD:
        BIO_set_data(
            bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(*static_cast<int*>(pointer))));
        BIO_set_init(bio, 1);
        return 1;
    case BIO_C_GET_FD: {
        const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
        if (pointer != nullptr) {
            *static_cast<int*>(pointer) = fd;
        }
        return fd;
    }
    case BIO_CTRL_FLUSH:
        return 1;
    default:
        return 0;
    }
}

BIO_METHOD* noSigpipeSocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                         "socket without SIGPIPE");
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_ctrl(m, bioControl);
        return m;
    }();
    return method;
}

std::string tlsErrorText() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(code, buf, sizeof buf);
        if (!text.empty()) {
            text += "; ";
        }
        text += buf;
    }
    return text.empty() ? "connection closed by the host" : text;
}

} // namespace

int connectTCP(const std::string& host, std::uint16_t port, const std::string& sourceAddress,
               std::chrono::milliseconds timeout) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) {
        errno = EHOSTUNREACH;
        return -1;
    }
    const auto deadline = Clock::now() + timeout;
    int fd = -1;
    int lastErrno = ECONNREFUSED;
    for (addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            lastErrno = errno;
            continue;
        }
        bool ok = true;
        if (!sourceAddress.empty()) {
            addrinfo* src = nullptr;
            addrinfo srcHints{};
            srcHints.ai_family = ai->ai_family;
            srcHints.ai_socktype = SOCK_STREAM;
            srcHints.ai_flags = AI_NUMERICHOST;
            ok = getaddrinfo(sourceAddress.c_str(), "0", &srcHints, &src) == 0 &&
                 bind(fd, src->ai_addr, src->ai_addrlen) == 0;
            if (src != nullptr) {
                freeaddrinfo(src);
            }
        }
        if (ok && ::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            ok = false;
            if (errno == EINPROGRESS && waitFor(fd, POLLOUT, deadline)) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                ok = error == 0;
                errno = error == 0 ? ETIMEDOUT : error;
            } else if (errno == EINPROGRESS) {
                errno = ETIMEDOUT;
            }
        }
        if (!ok) {
            lastErrno = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd >= 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    } else {
        errno = lastErrno;
    }
    return fd;
}

std::unique_ptr<WireClient> WireClient::connect(const std::string& host, std::uint16_t port,
                                                const SymmetricKey& key, std::string_view identity,
                                                const Options& options) {
    std::unique_ptr<WireClient> client(new WireClient());
    client->fd_ = connectTCP(host, port, options.sourceAddress, options.timeout);
    if (client->fd_ < 0) {
        throw WireClientError("cannot connect to " + host + " port " + std::to_string(port) + ": " +
                              std::strerror(errno));
    }
    PSKParameters::configureSocket(client->fd_);
    const auto ctx = PSKParameters::make(key, identity, PSKParameters::Role::client);
    client->ssl_ = SSL_new(ctx.get());
    BIO* bio = client->ssl_ != nullptr ? BIO_new(noSigpipeSocketMethod()) : nullptr;
    if (bio == nullptr) {
        throw WireClientError("TLS: " + tlsErrorText());
    }
    BIO_set_fd(bio, client->fd_, BIO_NOCLOSE);
    SSL_set_bio(client->ssl_, bio, bio);
    // Non-blocking during the handshake so the timeout holds.
    fcntl(client->fd_, F_SETFL, fcntl(client->fd_, F_GETFL) | O_NONBLOCK);
    const auto deadline = Clock::now() + options.timeout;
    ERR_clear_error();
    for (;;) {
        const int r = SSL_connect(client->ssl_);
        if (r == 1) {
            break;
        }
        const int error = SSL_get_error(client->ssl_, r);
        const short events = error == SSL_ERROR_WANT_READ    ? POLLIN
                             : error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                             : 0;
        if (events == 0) {
            throw WireClientError("TLS handshake failed (wrong key?): " + tlsErrorText());
        }
        if (!waitFor(client->fd_, events, deadline)) {
            throw WireClientError("TLS handshake timed out");
        }
    }
    fcntl(client->fd_, F_SETFL, fcntl(client->fd_, F_GETFL) & ~O_NONBLOCK);
    return client;
}

WireClient::~WireClient() {
    if (ssl_ != nullptr) {
        SSL_free(ssl_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

void WireClient::send(const ControlMessage& message) {
    sendBytes(FrameCodec::encode(message.encode()));
}

void WireClient::sendBytes(ByteView bytes) {
    if (bytes.empty()) {
        return;
    }
    ERR_clear_error();
    if (SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) <= 0) {
        closed_ = true;
        throw WireClientError("send failed: " + tlsErrorText());
    }
}

bool WireClient::readSome(std::chrono::milliseconds timeout) {
    if (closed_) {
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    if (SSL_pending(ssl_) == 0 && !waitFor(fd_, POLLIN, deadline)) {
        return false;
    }
    std::uint8_t buffer[16384];
    ERR_clear_error();
    const int r = SSL_read(ssl_, buffer, sizeof buffer);
    if (r > 0) {
        decoder_.append(ByteView(buffer, static_cast<std::size_t>(r)));
        return true;
    }
    ERR_clear_error();
    closed_ = true;
    return false;
}

std::optional<ControlMessage> WireClient::receive(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        try {
            if (auto frame = decoder_.nextFrame()) {
                return ControlMessage::decode(*frame);
            }
        } catch (const FrameDecodeError& e) {
            if (e.kind() == FrameDecodeError::Kind::unknownMessageType) {
                continue;
            }
            throw;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (!readSome(std::max(left, std::chrono::milliseconds(0))) &&
            (closed_ || Clock::now() >= deadline)) {
            return std::nullopt;
        }
    }
}

bool WireClient::waitForClose(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        readSome(left);
    }
    return true;
}

} // namespace quillon::wire
