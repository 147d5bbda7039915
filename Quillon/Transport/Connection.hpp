#pragma once

#include "Quillon/Transport/ReplyQueue.hpp"
#include "Quillon/Transport/Session.hpp"
#include "WireProtocol/Bytes.hpp"
#include "WireProtocol/PSKParameters.hpp"

#include <asio/generic/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace quillon::wire {
class TLSChannel;
}

namespace quillon {

class Connection;

// Where a connection's socket is in its life, on both transports. The Session above it says
// what the peer may do; the phase says what the socket does. Only Connection moves it, and only
// along connectionTransition().
enum class ConnectionPhase {
    created,      // constructed; start() decides how it begins
    awaitingRoom, // came when every waiting place was held: waits, uncounted and briefly, for
                  // its first bytes to ask for a place again (Wi-Fi admission)
    open,         // reading and writing
    readPaused,   // the peer has left this much of its replies unread: its next read waits
    draining,     // closes once what was written so far has left (the refusal-then-close rule)
    closed,       // ended: the socket is closed; nothing more is read, written or reported
};

enum class ConnectionEvent {
    started,         // reading begins
    startedRoomless, // reading begins, without a waiting place
    seated,          // the waiting connection spoke and found a place
    outputFull,      // too much output waits for the peer
    outputDrained,   // the peer read enough of it
    drain,           // close after the writes so far
    closed,          // ended, from either side
};

const char* rawValue(ConnectionPhase phase) noexcept;
const char* rawValue(ConnectionEvent event) noexcept;

// The phase after `event` in `from`, or nothing when the event cannot happen there (the
// connection then ignores it). closed ends every phase; nothing leaves closed.
std::optional<ConnectionPhase> connectionTransition(ConnectionPhase from,
                                                    ConnectionEvent event) noexcept;

// What a connection tells the transport that made it. Every call comes on the I/O queue, from
// inside the connection's own handlers; the connection is alive for the call.
class ConnectionOwner {
public:
    virtual ~ConnectionOwner() = default;

    // What the peer has shown so far (for the admission of connections that proved nothing).
    enum class Progress {
        bytesArrived, // bytes were read before the link was secured (TLS handshake under way)
        framing,      // bytes were read after it (part of a first frame)
        secured,      // the TLS handshake completed
        decoded,      // a frame decoded into a message: the peer speaks the protocol
    };
    virtual void connectionProgressed(Connection& c, Progress progress) {}
    // An awaitingRoom connection has bytes waiting: true seats it (it reads on), false closes it.
    virtual bool connectionSpoke(Connection& c) { return true; }
    // The TLS handshake failed because the peer does not hold the key (on pairing: a wrong PIN).
    virtual void connectionWrongKey(Connection& c) {}
    // The deadline set with setDeadline() passed. The connection stays as it is unless the
    // owner closes it.
    virtual void connectionDeadline(Connection& c) {}

    // What the session decided (see SessionDelegate).
    virtual void connectionAdmitted(Connection& c, const PairedDevice& device) = 0;
    virtual void connectionReceived(Connection& c, std::span<const wire::ControlMessage> messages,
                                    const std::string& deviceID) = 0;
    virtual void connectionPaired(Connection& c, const PairedDevice& device) {}
    virtual void connectionRefused(Connection& c, std::uint16_t code, const std::string& reason) {}
    // After a read of an admitted session (its held bytes may have changed).
    virtual void connectionRead(Connection& c) {}

    // The connection ended (closed). Called once, at the end, whoever ended it.
    virtual void connectionClosed(Connection& c) = 0;
};

// Scratch space the connections of one I/O queue share for their reads (one read at a time).
struct ConnectionBuffers {
    std::vector<std::uint8_t> received = std::vector<std::uint8_t>(65536);
    wire::Bytes plaintext;
};

// One connection of a tablet, on either transport: it owns its socket, its TLS engine (Wi-Fi;
// the cable's bytes are the frames themselves), the Session above them, its reply queue, its
// read and write loop and its one phase. The transport that made it decides what a connection
// is allowed (admission, budgets, heartbeats) through ConnectionOwner, and only listens,
// advertises and admits.
//
// Reads: one receive of at most 64 KiB per turn; what it holds is handed to the session as one
// burst, then the next receive waits for readability (into the queue's shared scratch buffer
// until admitted; then into a buffer of its own, left pending with the reactor). Writes: whole
// frames from the session or from send(), encrypted when there is TLS, handed to the kernel at once
// (replies leave before what the owner does next), the rest through an asynchronous write. While
// more than 1 MiB waits for the peer its input is not read (readPaused): its requests cannot pile
// up replies without bound; past the reply budget it is closed, and so is a peer that takes no byte
// of pending output for the write-stall limit, when one is set.
//
// Threads: everything runs on the I/O queue whose context the socket belongs to, including every
// public call; the owner's calls are made there. The owner must call closeQuietly() (on the queue)
// before it goes; after that nothing is reported.
class Connection : public std::enable_shared_from_this<Connection>,
                   private SessionLink,
                   private SessionDelegate {
public:
    using Socket = asio::generic::stream_protocol::socket;

    struct Options {
        SessionChannel channel = SessionChannel::main;
        SessionRules rules;
        // The TLS parameters of its listener (server role); none: plain frames (the cable).
        const wire::SSLContextPtr* tls = nullptr;
        ReplyQueue::Limits replies{8u << 20, 4096};
        // How long pending output may go without a byte taken; none: no limit.
        std::optional<std::chrono::milliseconds> writeStallLimit;
        // The peer's address (Wi-Fi), and what admission counts it under.
        std::string peerAddress;
        std::string source;
    };

    // `services` and `buffers` are the owner's, shared by its connections, and outlive them.
    // Throws std::bad_alloc or std::runtime_error when TLS state cannot be made.
    static std::shared_ptr<Connection> create(Socket socket, Options options,
                                              const SessionServices& services,
                                              ConnectionBuffers& buffers, ConnectionOwner& owner);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Begins reading. Without TLS the link is secured at once. `roomless`: the connection found
    // no waiting place; it waits for its first bytes and asks the owner again (connectionSpoke).
    void start(bool roomless = false);
    // Sends one message (encoded into the session's stream). A message beyond the reply budget
    // closes the connection instead.
    void send(const wire::ControlMessage& message);
    // Ends the connection: a best-effort close_notify, the socket shut down and closed now; the
    // owner hears connectionClosed on a later turn of the queue (never from inside this call).
    // Idempotent.
    void close();
    // The owner is going: nothing more is reported, and the connection closes.
    void closeQuietly();

    // Arms the one deadline (replacing an armed one); cancelDeadline() disarms it.
    void setDeadline(std::chrono::milliseconds after);
    void cancelDeadline();

    ConnectionPhase phase() const noexcept { return phase_; }
    const Session& session() const noexcept { return session_; }
    SessionChannel channel() const noexcept { return session_.channel(); }
    const std::string& peerAddress() const noexcept { return options_.peerAddress; }
    const std::string& source() const noexcept { return options_.source; }
    // Whether the peer has sent bytes not read yet (without reading them).
    bool hasBytesWaiting();
    // Received and not yet handled, plus output not yet taken by the peer.
    std::size_t bufferedBytes() const noexcept;

private:
    Connection(Socket socket, Options options, const SessionServices& services,
               ConnectionBuffers& buffers, ConnectionOwner& owner);

    bool move(ConnectionEvent event) noexcept;
    bool isOpen() const noexcept { return phase_ != ConnectionPhase::closed; }
    void waitReadable();
    // Reads again on a later turn without waiting for the reactor first.
    void readSoon();
    void onReadable();
    void receiveAdmitted();
    // What one receive brought (`capacity`: the most it could have).
    void received(wire::ByteView bytes, std::size_t capacity);
    asio::io_context& context();
    bool advanceHandshake();
    bool readPlaintext(wire::ByteView bytes);
    void flushOutgoing();
    void writeFinished(std::error_code ec, std::size_t n);
    void armStallTimer();
    void finishIfDrained();
    void writePlaintext(wire::ByteView frames);
    // Ended by the peer or an error: closed and reported on this turn.
    void end();
    void report();

    // SessionLink
    void write(wire::ByteView frames) override;
    void closeAfterWrites() override;
    void closeNow() override;
    // SessionDelegate
    void sessionAdmitted(const PairedDevice& device) override;
    void sessionReceived(std::span<const wire::ControlMessage> messages,
                         const std::string& deviceID) override;
    void sessionPaired(const PairedDevice& device) override;
    void sessionRefused(std::uint16_t code, const std::string& reason) override;

    Socket socket_;
    asio::steady_timer deadline_;
    asio::steady_timer stall_;
    Options options_;
    ConnectionBuffers& buffers_;
    ConnectionOwner* owner_;
    std::unique_ptr<wire::TLSChannel> tls_;
    Session session_;
    ReplyQueue replies_;
    ConnectionPhase phase_ = ConnectionPhase::created;
    bool reported_ = false;
    wire::Bytes outgoing_; // bytes not yet handed to the socket (ciphertext on Wi-Fi)
    wire::Bytes inFlight_; // bytes of the asynchronous write in progress (empty: none)
    wire::Bytes encoded_;  // reused encoding buffer for send()
    // An admitted connection's own receive buffer (see receiveAdmitted); empty before.
    std::vector<std::uint8_t> ownReceived_;
    static constexpr std::size_t kAdmittedReceiveSize = 65536;
};

} // namespace quillon
