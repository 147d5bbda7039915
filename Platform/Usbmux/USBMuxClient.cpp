#include "Platform/Usbmux/USBMuxClient.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillon::platform::usbmux {

namespace {

using Clock = std::chrono::steady_clock;

// Closes the descriptor unless released; every error path of an exchange goes through it.
class SocketGuard {
public:
    explicit SocketGuard(int fd) noexcept : fd_(fd) {}
    ~SocketGuard() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

int remainingMillis(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT32_MAX));
}

void setSendTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Waits until `fd` is ready for `events` or the deadline passes.
void waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, remainingMillis(deadline));
        if (n > 0) {
            return;
        }
        if (n == 0 || errno != EINTR) {
            throw USBMuxError::socketUnavailable();
        }
    }
}

void writeAll(int fd, const wire::Bytes& bytes, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        waitFor(fd, POLLOUT, deadline);
        // MSG_NOSIGNAL: a daemon that went away must not raise SIGPIPE in the host.
        const ssize_t n =
            ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            throw USBMuxError::socketUnavailable();
        }
        done += static_cast<std::size_t>(n);
    }
}

void readExactly(int fd, std::uint8_t* out, std::size_t count, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < count) {
        waitFor(fd, POLLIN, deadline);
        const ssize_t n = ::recv(fd, out + done, count - done, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            throw USBMuxError::socketUnavailable();
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

std::string USBMuxClient::socketPathFromEnvironment(const char* value) {
    constexpr std::string_view prefix = "UNIX:";
    if (value != nullptr) {
        std::string_view v(value);
        if (v.size() > prefix.size() && v.substr(0, prefix.size()) == prefix) {
            return std::string(v.substr(prefix.size()));
        }
    }
    return defaultSocketPath;
}

USBMuxClient::USBMuxClient() : USBMuxClient(Options{}) {}

USBMuxClient::USBMuxClient(Options options)
    : socketPath_(options.socketPath.empty()
                      ? socketPathFromEnvironment(std::getenv("USBMUXD_SOCKET_ADDRESS"))
                      : options.socketPath),
      options_(options), tag_(options.initialTag) {}

int USBMuxClient::openSocket(Clock::time_point deadline) {
    SocketGuard fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        throw USBMuxError::socketUnavailable();
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // A path that does not fit cannot name the daemon; cutting it would name another file.
    if (socketPath_.empty() || socketPath_.size() >= sizeof address.sun_path) {
        throw USBMuxError::socketUnavailable();
    }
    std::memcpy(address.sun_path, socketPath_.data(), socketPath_.size());
    // A daemon whose listen backlog is full makes a blocking connect wait; for Unix sockets the
    // send timeout bounds that wait.
    setSendTimeout(fd.get(), std::max(std::chrono::milliseconds(1),
                                      std::chrono::milliseconds(remainingMillis(deadline))));
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            break;
        }
        if (errno != EINTR) {
            // ENOENT (never ran), ECONNREFUSED (exited, socket file left), EAGAIN (timed out).
            throw USBMuxError::socketUnavailable();
        }
    }
    return fd.release();
}

PlistDictionary USBMuxClient::exchange(int fd, const PlistDictionary& request,
                                       Clock::time_point deadline) {
    tag_ += 1; // wraps at 2^32
    writeAll(fd, USBMuxProtocol::encode(request, tag_), deadline);

    wire::Bytes message(USBMuxProtocol::headerLength);
    readExactly(fd, message.data(), message.size(), deadline);
    const auto total = *USBMuxProtocol::totalLength(message);
    if (total <= USBMuxProtocol::headerLength || total > options_.maxReplyLength) {
        throw USBMuxError::malformed();
    }
    message.resize(total);
    readExactly(fd, message.data() + USBMuxProtocol::headerLength,
                total - USBMuxProtocol::headerLength, deadline);
    return USBMuxProtocol::decode(message);
}

std::vector<USBMuxProtocol::Device> USBMuxClient::listUSBDevices() {
    const auto deadline = Clock::now() + options_.exchangeTimeout;
    SocketGuard fd(openSocket(deadline));
    auto devices =
        USBMuxProtocol::parseDevices(exchange(fd.get(), USBMuxProtocol::listDevices(), deadline));
    std::erase_if(devices, [](const auto& d) { return !d.isUSB; });
    return devices;
}

int USBMuxClient::connect(std::int64_t deviceID, std::uint16_t port) {
    const auto deadline = Clock::now() + options_.exchangeTimeout;
    SocketGuard fd(openSocket(deadline));
    const auto reply = exchange(fd.get(), USBMuxProtocol::connect(deviceID, port), deadline);
    if (!USBMuxProtocol::isConnectSuccess(reply)) {
        throw USBMuxError::connectRejected(USBMuxProtocol::resultNumber(reply));
    }
    // From here the socket is the device's stream; its reader blocks without a deadline.
    setSendTimeout(fd.get(), std::chrono::milliseconds(0));
    return fd.release();
}

} // namespace quillon::platform::usbmux
