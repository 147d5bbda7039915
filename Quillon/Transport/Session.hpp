#pragma once

#include "Quillon/Pairing/PairedDevice.hpp"
#include "WireProtocol/Bytes.hpp"
#include "WireProtocol/ControlMessage.hpp"
#include "WireProtocol/Frame.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon {

class HeartbeatMonitor;
class PairingSession;
class PairingStore;

// One connection of a tablet to the host, whatever carries its bytes: the frames and messages of
// an admitting or admitted session, handled once for every transport.
//
// How it is used. A Connection (Connection.hpp) owns the socket and the Session above it, on
// either transport; the Session owns no descriptor, no thread, no timer and no lock, and is called
// on one thread at a time. The connection implements SessionLink for the Session to write to,
// and SessionDelegate to hear what the Session decided.
//   - Wi-Fi: the connection runs the TLS handshake itself, calls secured() when it completed,
//     then feeds the plaintext of each socket read to receive(), and encrypts what write() gives
//     it.
//   - USB (no TLS): a main-channel Session with SessionRules::usb(), secured() as soon as the
//     tunnelled socket is connected, receive() with exactly the bytes of each read (however
//     frames fall across reads).
// The Session answers through SessionLink::write() with whole frames (helloAck, heartbeatAck,
// error); after a refusal it calls closeAfterWrites(): the link closes once what was written
// has left. On a stream that cannot be resynchronised it calls closeNow(). When the stream ends
// for any other reason the connection calls close(), after which the Session does nothing.
// Replies that do not come from the Session (an application list) are written by the connection
// directly.
// Delegate calls arrive synchronously inside secured() and receive(), on the caller's thread.
//
// Bursts: every message an admitted session decodes from one receive() is handed to the delegate
// in one sessionReceived() call after the last frame of that read, so the receiver flushes
// synthesised input once per read, not once per frame.

// The two kinds of channel: the main one (hello, then input and requests) and the pairing one
// (a pairRequest under the PIN's key).
enum class SessionChannel { main, pairing };

// Where a session is in its life. Only Session moves it, and only along sessionTransition().
enum class SessionPhase {
    handshaking,   // the link is not secured yet: nothing received is read as frames
    awaitingHello, // main channel: the first message decides admission
    pairing,       // pairing channel: waits for a pairRequest
    admitted,      // main channel: a hello was accepted; messages go to the delegate
    refused,       // an error reply is on its way; what arrives is discarded; then closing
    closing,       // ended: nothing more is read, written or reported
};

// What happens to a session.
enum class SessionEvent {
    secured,  // the link is ready for frames (TLS handshake done; USB connected)
    admitted, // a hello was accepted
    refused,  // an error reply was sent and the link closes after it
    closed,   // the connection ended, from either side
};

const char* rawValue(SessionPhase phase) noexcept;
const char* rawValue(SessionEvent event) noexcept;

// The phase after `event` in `from` on `channel`, or nothing when the event cannot happen there
// (the session then ignores it). closed ends every phase; closing ends nothing.
std::optional<SessionPhase> sessionTransition(SessionPhase from, SessionEvent event,
                                              SessionChannel channel) noexcept;

// The connection under a session, implemented by its transport.
class SessionLink {
public:
    virtual ~SessionLink() = default;
    // Plaintext bytes of whole frames, in order. Never blocks: the link queues what the socket
    // does not take at once.
    virtual void write(wire::ByteView frames) = 0;
    // Close once everything written so far was handed on or failed (the refusal-then-close
    // rule): the peer gets the error reply before the end.
    virtual void closeAfterWrites() = 0;
    // Close at once: the peer broke the framing (an oversized or malformed header).
    virtual void closeNow() = 0;
};

// What a session decided. Called on the session's thread, inside secured() or receive().
class SessionDelegate {
public:
    virtual ~SessionDelegate() = default;
    // A hello was accepted; the helloAck is already written (Wi-Fi) or follows this call (USB).
    virtual void sessionAdmitted(const PairedDevice& device) = 0;
    // The messages of one read from the admitted device `deviceID`, in order, heartbeats left
    // out; never empty. The span is valid during the call only.
    virtual void sessionReceived(std::span<const wire::ControlMessage> messages,
                                 const std::string& deviceID) = 0;
    // A pairRequest created and saved `device`; the pairResult is already written.
    virtual void sessionPaired(const PairedDevice& device) = 0;
    // A hello or pair request was refused with `code`; the error is already written and the
    // session closes after it. For the people watching the host (the peer has its answer).
    virtual void sessionRefused(std::uint16_t code, const std::string& reason) {}
};

// What the transports differ in.
struct SessionRules {
    enum class Profile {
        // Anything but a hello first is refused (400); an accepted hello saves the admission
        // time, writes helloAck, then reports; a later hello goes to the delegate.
        wifi,
        // Anything before a hello is ignored; an accepted hello is reported, then helloAck is
        // written, and the stored record is not touched; a later hello is ignored.
        usb,
    };
    Profile profile = Profile::wifi;
    // Largest payload a peer may declare before it is admitted; a larger one closes the
    // connection (memory a stranger can pin stays small). Admitted peers get the protocol's
    // limit.
    std::uint32_t preAdmissionFrameLimit = 65536;

    static SessionRules wifi(std::uint32_t preAdmissionFrameLimit) {
        return {Profile::wifi, preAdmissionFrameLimit};
    }
    static SessionRules usb() { return {Profile::usb, 65536}; }
};

// The host-wide collaborators every session of a transport shares. Owned by the transport and
// used on the sessions' thread only.
struct SessionServices {
    PairingStore& store;
    // Seconds on the system clock; read once per receive() that handles a frame.
    std::function<double()> clock;
    // The values helloAck reports.
    std::function<wire::cm::HelloAck()> screenInfo;
    // Told when each admitted device was last heard; none: not tracked (USB).
    HeartbeatMonitor* heartbeat = nullptr;
    // The PIN window a pairing channel pairs under; none: pairRequests are refused (408).
    PairingSession* pairingWindow = nullptr;
};

class Session {
public:
    Session(SessionChannel channel, SessionRules rules, const SessionServices& services,
            SessionLink& link, SessionDelegate& delegate);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    SessionChannel channel() const noexcept { return channel_; }
    SessionPhase phase() const noexcept { return phase_; }
    // The admitted device; set once, on admission.
    const std::optional<std::string>& deviceID() const noexcept { return deviceID_; }
    // True once a frame decoded into a message: the peer proved it speaks the protocol.
    bool hasDecodedMessage() const noexcept { return decodedAny_; }
    // Received bytes not yet returned as frames.
    std::size_t bufferedBytes() const noexcept { return decoder_.bufferedBytes(); }

    // The link is secured: handshaking becomes awaitingHello or pairing.
    void secured();
    // Bytes of one read. Every whole frame in them is handled before this returns, with the
    // session's state as it then is (after an accepted hello the next frame is an admitted
    // message); the admitted messages go to the delegate as one burst at the end. Ignored
    // unless awaitingHello, pairing or admitted.
    void receive(wire::ByteView bytes);
    // The connection ended (closing). Idempotent.
    void close() noexcept;

private:
    void handle(const wire::FrameView& frame, double& now);
    void admit(const wire::ControlMessage& message, double now);
    void pair(const wire::cm::PairRequest& request, double now);
    void refuse(std::uint16_t code, std::string reason);
    void reply(const wire::ControlMessage& message);
    void deliverBurst(double now);
    bool move(SessionEvent event) noexcept;

    SessionChannel channel_;
    SessionRules rules_;
    const SessionServices& services_;
    SessionLink& link_;
    SessionDelegate& delegate_;
    SessionPhase phase_ = SessionPhase::handshaking;
    std::optional<std::string> deviceID_;
    bool decodedAny_ = false;
    bool heard_ = false; // an admitted message decoded in this read: refresh the heartbeat once
    wire::FrameDecoder decoder_;
    std::vector<wire::ControlMessage> burst_; // reused: no allocation per read once warm
    wire::Bytes out_;                         // reused encoding buffer for replies
};

} // namespace quillon
