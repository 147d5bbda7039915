#include "Quillon/Transport/USBSession.hpp"

#include "Platform/Dispatch/SerialQueue.hpp"
#include "WireProtocol/Frame.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace quillon {

namespace {

constexpr std::size_t receiveBufferSize = 16384;

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::shared_ptr<USBSession> USBSession::create(int fd, std::shared_ptr<PairingStore> store,
                                               std::function<wire::cm::HelloAck()> screenInfo,
                                               Limits limits) {
    return std::shared_ptr<USBSession>(
        new USBSession(fd, std::move(store), std::move(screenInfo), limits));
}

USBSession::USBSession(int fd, std::shared_ptr<PairingStore> store,
                       std::function<wire::cm::HelloAck()> screenInfo, Limits limits)
    : fd_(fd), store_(std::move(store)), services_{*store_, systemNow, std::move(screenInfo),
                                                   nullptr, nullptr},
      session_(SessionChannel::main, SessionRules::usb(), services_, *this, *this),
      replies_(limits.replies),
      readQueue_(std::make_unique<platform::SerialQueue>("quillon-usb-rd")),
      writeQueue_(std::make_unique<platform::SerialQueue>("quillon-usb-wr")) {
    // A send that can hand no byte to the tablet for this long gives up (EAGAIN): the tablet
    // does not read, and the writer stops the session rather than wait for it.
    const auto ms = std::max<std::int64_t>(limits.writeStallLimit.count(), 1);
    timeval stall{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
}

USBSession::~USBSession() {
    {
        std::lock_guard lock(lock_);
        state_ = USBSessionState::stopped;
    }
    ::shutdown(fd_, SHUT_RDWR);
    // Both threads are done with the descriptor once their queues are gone (the read loop and
    // every write item hold the session, so neither is running now unless it is this thread).
    readQueue_.reset();
    writeQueue_.reset();
    ::close(fd_);
}

void USBSession::start() {
    {
        std::lock_guard lock(lock_);
        if (state_ != USBSessionState::created) {
            return;
        }
        state_ = USBSessionState::running;
    }
    readQueue_->async([self = shared_from_this()] { self->readLoop(); });
}

void USBSession::readLoop() {
    session_.secured();
    std::uint8_t buffer[receiveBufferSize];
    for (;;) {
        {
            std::lock_guard lock(lock_);
            if (state_ != USBSessionState::running) {
                break;
            }
        }
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        session_.receive(wire::ByteView(buffer, static_cast<std::size_t>(n)));
    }
    session_.close();
    // The stream ended or failed rather than being stopped.
    stop();
}

void USBSession::stop() {
    std::optional<std::string> id;
    {
        std::lock_guard lock(lock_);
        if (state_ != USBSessionState::running) {
            state_ = USBSessionState::stopped;
            return;
        }
        state_ = USBSessionState::stopped;
        id = deviceID_;
    }
    // Wakes the reader (and a writer blocked on a full socket); the peer sees the end now.
    ::shutdown(fd_, SHUT_RDWR);
    if (onClose) {
        onClose(id);
    }
}

void USBSession::send(const wire::ControlMessage& message, std::function<void()> then) {
    // Encoded here, so that what waits for the writer is counted at its real size.
    queueBytes(wire::FrameCodec::encode(message.encode()), std::move(then));
}

bool USBSession::queueBytes(wire::Bytes bytes, std::function<void()> then) {
    bool fits = false;
    {
        std::lock_guard lock(lock_);
        fits = replies_.push(bytes.size()) == ReplyQueue::Verdict::queued;
    }
    if (!fits) {
        stop(); // it does not read what it is sent
        if (then) {
            writeQueue_->async(std::move(then));
        }
        return false;
    }
    writeQueue_->async(
        [self = shared_from_this(), bytes = std::move(bytes), then = std::move(then)] {
            if (self->state() == USBSessionState::running) {
                self->writeBytes(bytes);
            }
            if (then) {
                then();
            }
        });
    return true;
}

void USBSession::writeBytes(const wire::Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        // MSG_NOSIGNAL: an unplugged tablet must not raise SIGPIPE in the host. A failed write
        // drops the rest of this message; the reader notices the broken stream.
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            stop(); // no byte left for writeStallLimit: the tablet does not read
            return;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
        std::lock_guard lock(lock_);
        replies_.sent(static_cast<std::size_t>(n));
    }
}

USBSessionState USBSession::state() const {
    std::lock_guard lock(lock_);
    return state_;
}

std::optional<std::string> USBSession::deviceID() const {
    std::lock_guard lock(lock_);
    return deviceID_;
}

void USBSession::write(wire::ByteView frames) {
    queueBytes(wire::Bytes(frames.begin(), frames.end()));
}

void USBSession::closeAfterWrites() {
    // After the refusal on the writer's queue; a session gone by then is left alone.
    writeQueue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->stop();
        }
    });
}

void USBSession::closeNow() {
    stop();
}

void USBSession::sessionRefused(std::uint16_t code, const std::string& reason) {
    if (onRefuse) {
        onRefuse(code, reason);
    }
}

void USBSession::sessionAdmitted(const PairedDevice& device) {
    {
        std::lock_guard lock(lock_);
        deviceID_ = device.deviceID;
    }
    if (onAccept) {
        onAccept(device);
    }
}

void USBSession::sessionReceived(std::span<const wire::ControlMessage> messages,
                                 const std::string& deviceID) {
    if (onMessage) {
        onMessage(messages, deviceID);
    }
}

} // namespace quillon
