#pragma once

#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/Frame.hpp"
#include "tests/support/ChildProcess.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillon::testing {

// A usbmuxd of our own on a Unix socket in a test directory: it answers ListDevices and Connect
// as the Linux daemon does (header and XML plists, tags echoed) and relays a connected stream to
// a loopback TCP port that plays the tablet's device port. Devices attach and detach while it
// runs; a detach ends the relays to that device as an unplugged cable does. Faults on demand:
// no reply, a reply cut short by a close, a header whose length field is 16. stop() ends every
// connection and leaves the socket file behind (a connect then gets ECONNREFUSED, as after the
// real daemon exits); start() listens again on the same path.
//
// Every request is recorded as one line, so tests can assert the whole sequence:
// "ListDevices tag=T", "Connect tag=T device=D port=P" (P as sent, byte-swapped), "Unknown tag=T",
// "Unparsed".
class UsbmuxStandIn {
public:
    struct Device {
        std::int64_t id = 0;
        std::string serial;
        std::string connectionType = "USB";
        // Where a Connect to the tablet's service port (49281) is relayed; 0: refused.
        std::uint16_t loopbackPort = 0;
    };
    enum class Fault { none, silence, closeMidReply, badLength };
    // The name of the stand-in's threads, so that a count of the host's threads can leave them
    // out.
    static constexpr const char* kThreadName = "usbmux-standin";

    // Starts listening on `socketPath` (an existing file there is replaced).
    explicit UsbmuxStandIn(std::string socketPath);
    ~UsbmuxStandIn();
    UsbmuxStandIn(const UsbmuxStandIn&) = delete;
    UsbmuxStandIn& operator=(const UsbmuxStandIn&) = delete;

    const std::string& socketPath() const noexcept { return socketPath_; }
    void start();
    void stop();

    void attach(Device device);
    void detach(std::int64_t id);
    // Applies to every request from now on.
    void setFault(Fault fault);

    std::vector<std::string> requests() const;
    void clearRequests();
    // Waits until at least `count` requests were recorded.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    // Relayed streams currently open.
    std::size_t openRelays() const;

private:
    struct Connection;
    void acceptLoop(int listenFd, int wakeFd);
    void serve(std::shared_ptr<Connection> connection);
    void relay(const std::shared_ptr<Connection>& connection, int deviceFd);
    void record(std::string line);

    std::string socketPath_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Device> devices_;
    Fault fault_ = Fault::none;
    std::vector<std::string> requests_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> threads_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::thread acceptThread_;
};

// Debian's usbmuxd, for real, in a mount namespace of its own: the test's directory is bound
// over /run (so the daemon's /var/run/usbmuxd is `socketPath()` here) and /var/lib is a tmpfs.
// It runs with no USB bus to speak of and is ended by pid. available() is false where usbmuxd
// or the namespace cannot be had (not root, no unshare).
class UsbmuxdFixture {
public:
    UsbmuxdFixture();
    ~UsbmuxdFixture();

    bool available() const noexcept { return daemon_ != nullptr; }
    const std::string& whyUnavailable() const noexcept { return why_; }
    std::string socketPath() const { return dir_.path() + "/usbmuxd"; }
    // SIGTERM by pid and wait; the socket file stays behind.
    void stopDaemon();
    std::string output() const;

private:
    TempDir dir_;
    std::string why_;
    std::unique_ptr<ChildProcess> daemon_;
};

} // namespace quillon::testing

namespace quillon::testing {

// One end of a tablet connection over a plain stream (a socketpair end or an accepted
// loopback socket): writes control messages, reads the frames that come back.
class TabletStream {
public:
    explicit TabletStream(int fd) : fd_(fd) {}
    ~TabletStream();
    TabletStream(const TabletStream&) = delete;
    TabletStream& operator=(const TabletStream&) = delete;

    int fd() const noexcept { return fd_; }
    // False when the stream is broken.
    bool send(const wire::ControlMessage& message);
    bool sendBytes(const wire::Bytes& bytes);
    // The next message from the host, or nothing on timeout or end of stream.
    std::optional<wire::ControlMessage> receive(std::chrono::milliseconds timeout);
    // True once the host ended the stream (nothing more arrives); messages still buffered
    // before the end are skipped.
    bool waitForEnd(std::chrono::milliseconds timeout);
    void close();

private:
    int fd_;
    wire::FrameDecoder decoder_;
};

// The tablet's client listening on its device port, played on a loopback port the usbmuxd
// stand-in relays to.
class TabletListener {
public:
    TabletListener();
    ~TabletListener();
    std::uint16_t port() const noexcept { return port_; }
    // The next connection the host made through usbmuxd, or none on timeout.
    std::unique_ptr<TabletStream> accept(std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace quillon::testing
