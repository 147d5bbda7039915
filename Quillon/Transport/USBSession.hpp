#pragma once

#include "Quillon/Pairing/PairedDevice.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "Quillon/Transport/ReplyQueue.hpp"
#include "Quillon/Transport/Session.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace quillon {

namespace platform {
class SerialQueue;
}

// What a cable session lets wait for a tablet that does not read.
struct USBSessionLimits {
    // Replies the tablet has not taken; the Wi-Fi listeners' default.
    ReplyQueue::Limits replies{8u << 20, 4096};
    // How long a pending reply may wait without a byte of it leaving.
    std::chrono::milliseconds writeStallLimit{3000};
};

// Where a cable session is in its life; admission itself is the Session's phase.
enum class USBSessionState {
    created, // constructed, not reading yet
    running, // the read loop runs; replies are written
    stopped, // ended for good; a new connection gets a new session
};

// One tunnelled connection to the tablet's service port, over the socket usbmuxd handed us. The
// host is the connecting party here; the tablet's client listens on its device port. The frames
// and messages are the Wi-Fi ones, handled by a main-channel Session with the cable's rules: a
// hello admits (426/401/403 refuse and close), heartbeats are answered here, everything else goes
// to onMessage on the read thread itself.
//
// Replies are held to the same budget as on Wi-Fi: what waits for a tablet that does not read is
// counted (ReplyQueue), and a tablet that lets it grow past the budget, or takes no byte of a
// pending reply for `writeStallLimit`, is disconnected. An unread application list thus costs
// the host a few megabytes for a few seconds, not memory without end.
//
// Threads: one blocking reader ("quillon-usb-rd") and one writer
// ("quillon-usb-wr"), so frames never interleave on the socket. stop() may run on
// either of them or on any other thread; the first call acts. It shuts the socket down (on Linux
// a close() does not wake a read() blocked in another thread); the descriptor itself is closed
// when the session is destroyed, after both threads let go of it, so its number is never reused
// under a pending write.
class USBSession : public std::enable_shared_from_this<USBSession>,
                   private SessionLink,
                   private SessionDelegate {
public:
    using Limits = USBSessionLimits;

    // `fd` is the connected socket from USBMuxClient::connect(); the session owns it.
    // `screenInfo` gives the values of helloAck.
    static std::shared_ptr<USBSession> create(int fd, std::shared_ptr<PairingStore> store,
                                              std::function<wire::cm::HelloAck()> screenInfo,
                                              Limits limits = {});
    ~USBSession() override;
    USBSession(const USBSession&) = delete;
    USBSession& operator=(const USBSession&) = delete;

    // Set before start(); called on the read thread (onAccept, onMessage) and on the thread that
    // stopped the session (onClose, with the admitted identifier or none). onMessage gets the
    // messages of one read together, in order, heartbeats left out (never empty), so that their
    // input is flushed to the display server once; the span is valid during the call only.
    std::function<void(const PairedDevice&)> onAccept;
    // A hello refused with its code (read thread).
    std::function<void(std::uint16_t, const std::string&)> onRefuse;
    std::function<void(std::span<const wire::ControlMessage>, const std::string&)> onMessage;
    std::function<void(const std::optional<std::string>&)> onClose;

    void start();
    void stop();
    // Queues the message for the writer; `then` runs there after the attempt, whether or not
    // anything was written (also on a stopped session). A message beyond the reply budget stops
    // the session instead (`then` still runs).
    void send(const wire::ControlMessage& message, std::function<void()> then = {});

    USBSessionState state() const;
    std::optional<std::string> deviceID() const;

private:
    USBSession(int fd, std::shared_ptr<PairingStore> store,
               std::function<wire::cm::HelloAck()> screenInfo, Limits limits);

    void readLoop();
    // Counts `bytes` against the reply budget and hands them to the writer; false (and the
    // session stopped) when they do not fit.
    bool queueBytes(wire::Bytes bytes, std::function<void()> then = {});
    void writeBytes(const wire::Bytes& bytes);

    // SessionLink (read thread)
    void write(wire::ByteView frames) override;
    void closeAfterWrites() override;
    void closeNow() override;
    // SessionDelegate (read thread)
    void sessionAdmitted(const PairedDevice& device) override;
    void sessionReceived(std::span<const wire::ControlMessage> messages,
                         const std::string& deviceID) override;
    void sessionPaired(const PairedDevice&) override {}
    void sessionRefused(std::uint16_t code, const std::string& reason) override;

    const int fd_;
    std::shared_ptr<PairingStore> store_;
    SessionServices services_;
    Session session_; // read thread only

    mutable std::mutex lock_;
    USBSessionState state_ = USBSessionState::created; // under lock_
    std::optional<std::string> deviceID_;              // under lock_
    ReplyQueue replies_;                               // under lock_

    std::unique_ptr<platform::SerialQueue> readQueue_;
    std::unique_ptr<platform::SerialQueue> writeQueue_;
};

} // namespace quillon
