#include "tests/support/UsbmuxStandIn.hpp"

#include "Platform/Usbmux/USBMuxProtocol.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillon::testing {

using platform::usbmux::PlistArray;
using platform::usbmux::PlistDictionary;
namespace Protocol = platform::usbmux::USBMuxProtocol;

struct UsbmuxStandIn::Connection {
    int fd = -1;
    int deviceFd = -1;
    std::int64_t deviceID = -1;
    bool open = true;
};

namespace {

bool readAll(int fd, std::uint8_t* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::recv(fd, out + done, count - done, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::send(fd, data + done, count - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int connectLoopback(std::uint16_t port) {
    if (port == 0) {
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

PlistDictionary attachedEntry(const UsbmuxStandIn::Device& d) {
    return PlistDictionary{
        {"DeviceID", d.id},
        {"MessageType", "Attached"},
        {"Properties", PlistDictionary{{"ConnectionSpeed", std::int64_t{480000000}},
                                       {"ConnectionType", d.connectionType},
                                       {"DeviceID", d.id},
                                       {"LocationID", std::int64_t{0}},
                                       {"ProductID", std::int64_t{0x12ab}},
                                       {"SerialNumber", d.serial}}}};
}

PlistDictionary result(std::int64_t number) {
    return PlistDictionary{{"MessageType", "Result"}, {"Number", number}};
}

} // namespace

UsbmuxStandIn::UsbmuxStandIn(std::string socketPath) : socketPath_(std::move(socketPath)) {
    start();
}

UsbmuxStandIn::~UsbmuxStandIn() {
    stop();
    ::unlink(socketPath_.c_str());
}

void UsbmuxStandIn::start() {
    if (acceptThread_.joinable()) {
        return;
    }
    ::unlink(socketPath_.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long: " + socketPath_);
    }
    std::memcpy(address.sun_path, socketPath_.data(), socketPath_.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error("stand-in cannot listen on " + socketPath_ + ": " + why);
    }
    ::chmod(socketPath_.c_str(), 0666);
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) {
        ::close(fd);
        throw std::runtime_error("pipe failed");
    }
    listenFd_ = fd;
    acceptThread_ = std::thread([this, fd, wake = wakePipe_[0]] { acceptLoop(fd, wake); });
    ::pthread_setname_np(acceptThread_.native_handle(), kThreadName);
}

void UsbmuxStandIn::stop() {
    if (!acceptThread_.joinable()) {
        return;
    }
    const char byte = 1;
    (void)!::write(wakePipe_[1], &byte, 1);
    acceptThread_.join();
    // The socket file stays: a client now gets ECONNREFUSED, as after the daemon exited.
    ::close(listenFd_);
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
    listenFd_ = -1;
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (auto& c : connections_) {
            if (c->open) {
                ::shutdown(c->fd, SHUT_RDWR);
                if (c->deviceFd >= 0) {
                    ::shutdown(c->deviceFd, SHUT_RDWR);
                }
            }
        }
        threads.swap(threads_);
    }
    for (auto& t : threads) {
        t.join();
    }
    std::lock_guard lock(mutex_);
    connections_.clear();
}

void UsbmuxStandIn::acceptLoop(int listenFd, int wakeFd) {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        auto connection = std::make_shared<Connection>();
        connection->fd = client;
        std::lock_guard lock(mutex_);
        connections_.push_back(connection);
        threads_.emplace_back([this, connection] { serve(connection); });
        ::pthread_setname_np(threads_.back().native_handle(), kThreadName);
    }
}

void UsbmuxStandIn::serve(std::shared_ptr<Connection> connection) {
    const int fd = connection->fd;
    for (;;) {
        wire::Bytes message(Protocol::headerLength);
        if (!readAll(fd, message.data(), message.size())) {
            break;
        }
        const auto total = *Protocol::totalLength(message);
        const auto tag = wire::loadLE32(message.data() + 12);
        if (total <= Protocol::headerLength || total > (1u << 20)) {
            record("Unparsed");
            break; // as the daemon does with a length field of 8
        }
        message.resize(total);
        if (!readAll(fd, message.data() + Protocol::headerLength, total - Protocol::headerLength)) {
            break;
        }
        PlistDictionary request;
        try {
            request = Protocol::decode(message);
        } catch (...) {
            record("Unparsed");
            continue; // no reply, connection left open
        }
        const auto type = request.find("MessageType");
        const auto* name = type == request.end() ? nullptr : type->second.get<std::string>();

        Fault fault;
        std::vector<Device> devices;
        {
            std::lock_guard lock(mutex_);
            fault = fault_;
            devices = devices_;
        }
        PlistDictionary reply;
        int deviceFd = -1;
        std::int64_t deviceID = -1;
        if (name != nullptr && *name == "ListDevices") {
            record("ListDevices tag=" + std::to_string(tag));
            PlistArray list;
            for (const auto& d : devices) {
                list.emplace_back(attachedEntry(d));
            }
            reply = PlistDictionary{{"DeviceList", std::move(list)}};
        } else if (name != nullptr && *name == "Connect") {
            auto id = request.find("DeviceID");
            auto port = request.find("PortNumber");
            const auto* idValue = id == request.end() ? nullptr : id->second.get<std::int64_t>();
            const auto* portValue =
                port == request.end() ? nullptr : port->second.get<std::int64_t>();
            record("Connect tag=" + std::to_string(tag) +
                   " device=" + (idValue ? std::to_string(*idValue) : "none") +
                   " port=" + (portValue ? std::to_string(*portValue) : "none"));
            const Device* device = nullptr;
            for (const auto& d : devices) {
                if (idValue != nullptr && d.id == *idValue) {
                    device = &d;
                }
            }
            if (device == nullptr) {
                reply = result(2);
            } else if (portValue == nullptr) {
                reply = result(1);
            } else {
                const auto devicePort = static_cast<std::uint16_t>(((*portValue & 0xff) << 8) |
                                                                   ((*portValue >> 8) & 0xff));
                deviceFd = devicePort == wire::ServiceConstants::usbPort
                               ? connectLoopback(device->loopbackPort)
                               : -1;
                deviceID = device->id;
                reply = result(deviceFd >= 0 ? 0 : 3);
            }
        } else {
            record("Unknown tag=" + std::to_string(tag));
            reply = result(1);
        }

        auto bytes = Protocol::encode(reply, tag);
        if (fault == Fault::silence) {
            if (deviceFd >= 0) {
                ::close(deviceFd);
            }
            continue;
        }
        if (fault == Fault::closeMidReply) {
            writeAll(fd, bytes.data(), bytes.size() / 2);
            if (deviceFd >= 0) {
                ::close(deviceFd);
            }
            break;
        }
        if (fault == Fault::badLength) {
            bytes.resize(Protocol::headerLength);
            bytes[0] = 16;
            bytes[1] = bytes[2] = bytes[3] = 0;
        }
        if (!writeAll(fd, bytes.data(), bytes.size())) {
            if (deviceFd >= 0) {
                ::close(deviceFd);
            }
            break;
        }
        if (deviceFd >= 0) {
            bool stillAttached = false;
            {
                std::lock_guard lock(mutex_);
                for (const auto& d : devices_) {
                    stillAttached = stillAttached || d.id == deviceID;
                }
                if (stillAttached && connection->open) {
                    connection->deviceFd = deviceFd;
                    connection->deviceID = deviceID;
                }
            }
            if (!stillAttached) {
                ::close(deviceFd);
                break;
            }
            relay(connection, deviceFd);
            break;
        }
    }
    std::lock_guard lock(mutex_);
    connection->open = false;
    ::close(connection->fd);
    if (connection->deviceFd >= 0) {
        ::close(connection->deviceFd);
    }
    changed_.notify_all();
}

void UsbmuxStandIn::relay(const std::shared_ptr<Connection>& connection, int deviceFd) {
    const int fd = connection->fd;
    std::uint8_t buffer[16384];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {deviceFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        bool ended = false;
        for (int i = 0; i < 2 && !ended; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0 || !writeAll(fds[1 - i].fd, buffer, static_cast<std::size_t>(n))) {
                ended = true;
            }
        }
        if (ended) {
            break;
        }
    }
    // Both sides see the end, as when the cable is pulled.
    ::shutdown(fd, SHUT_RDWR);
    ::shutdown(deviceFd, SHUT_RDWR);
}

void UsbmuxStandIn::attach(Device device) {
    std::lock_guard lock(mutex_);
    devices_.push_back(std::move(device));
}

void UsbmuxStandIn::detach(std::int64_t id) {
    std::lock_guard lock(mutex_);
    std::erase_if(devices_, [&](const Device& d) { return d.id == id; });
    for (auto& c : connections_) {
        if (c->open && c->deviceID == id) {
            ::shutdown(c->fd, SHUT_RDWR);
            ::shutdown(c->deviceFd, SHUT_RDWR);
        }
    }
}

void UsbmuxStandIn::setFault(Fault fault) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
}

void UsbmuxStandIn::record(std::string line) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(line));
    changed_.notify_all();
}

std::vector<std::string> UsbmuxStandIn::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void UsbmuxStandIn::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool UsbmuxStandIn::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

std::size_t UsbmuxStandIn::openRelays() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& c : connections_) {
        n += c->open && c->deviceFd >= 0 ? 1 : 0;
    }
    return n;
}

UsbmuxdFixture::UsbmuxdFixture() {
    if (::access("/usr/sbin/usbmuxd", X_OK) != 0) {
        why_ = "usbmuxd is not installed (scripts/bootstrap installs it)";
        return;
    }
    if (::geteuid() != 0) {
        why_ = "a private mount namespace for usbmuxd needs root";
        return;
    }
    // /var/run is a link to /run on Debian; binding our directory there gives the daemon its
    // usual socket path and us the file. exec keeps the pid the daemon's.
    daemon_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"unshare", "--mount", "--propagation", "private", "sh", "-c",
         "mount --bind '" + dir_.path() +
             "' /run && mount -t tmpfs none /var/lib && exec /usr/sbin/usbmuxd -f -v"},
        {},
        dir_.path() + "/usbmuxd.log",
        false,
        {}});
    const auto socket = socketPath();
    // The file appears at bind(), before listen(): ready is when a connection is accepted.
    const auto accepting = [&socket] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
        const bool ok =
            fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
        return ok;
    };
    if (!waitUntil([&] { return accepting() || !daemon_->running(); },
                   std::chrono::milliseconds(10000)) ||
        !daemon_->running()) {
        why_ = "usbmuxd did not come up: " + daemon_->output();
        daemon_.reset();
    }
}

UsbmuxdFixture::~UsbmuxdFixture() {
    daemon_.reset();
}

void UsbmuxdFixture::stopDaemon() {
    if (daemon_) {
        daemon_->stop();
    }
}

std::string UsbmuxdFixture::output() const {
    return daemon_ ? daemon_->output() : why_;
}

} // namespace quillon::testing

namespace quillon::testing {

TabletStream::~TabletStream() {
    close();
}

void TabletStream::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool TabletStream::send(const wire::ControlMessage& message) {
    return sendBytes(wire::FrameCodec::encode(message.encode()));
}

bool TabletStream::sendBytes(const wire::Bytes& bytes) {
    return fd_ >= 0 && writeAll(fd_, bytes.data(), bytes.size());
}

std::optional<wire::ControlMessage> TabletStream::receive(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        try {
            if (auto frame = decoder_.nextFrame()) {
                return wire::ControlMessage::decode(*frame);
            }
        } catch (...) {
            return std::nullopt;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (fd_ < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        decoder_.append(wire::ByteView(buffer, static_cast<std::size_t>(n)));
    }
}

bool TabletStream::waitForEnd(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return true;
        }
    }
    return true;
}

TabletListener::TabletListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 8) != 0) {
        throw std::runtime_error("tablet listener: cannot listen on loopback");
    }
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
}

TabletListener::~TabletListener() {
    ::close(fd_);
}

std::unique_ptr<TabletStream> TabletListener::accept(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return nullptr;
    }
    const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return client < 0 ? nullptr : std::make_unique<TabletStream>(client);
}

} // namespace quillon::testing
