#include "Quillon/Transport/Connection.hpp"

#include "WireProtocol/Frame.hpp"
#include "WireProtocol/TLSChannel.hpp"

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <cerrno>

#include <sys/socket.h>

namespace quillon {

using wire::ByteView;

namespace {

// While this much output waits for a peer that does not read, its input is not read either.
constexpr std::size_t kOutputBackpressure = 1 << 20;

} // namespace

const char* rawValue(ConnectionPhase phase) noexcept {
    switch (phase) {
    case ConnectionPhase::created:
        return "created";
    case ConnectionPhase::awaitingRoom:
        return "awaitingRoom";
    case ConnectionPhase::open:
        return "open";
    case ConnectionPhase::readPaused:
        return "readPaused";
    case ConnectionPhase::draining:
        return "draining";
    case ConnectionPhase::closed:
        return "closed";
    }
    return "?";
}

const char* rawValue(ConnectionEvent event) noexcept {
    switch (event) {
    case ConnectionEvent::started:
        return "started";
    case ConnectionEvent::startedRoomless:
        return "startedRoomless";
    case ConnectionEvent::seated:
        return "seated";
    case ConnectionEvent::outputFull:
        return "outputFull";
    case ConnectionEvent::outputDrained:
        return "outputDrained";
    case ConnectionEvent::drain:
        return "drain";
    case ConnectionEvent::closed:
        return "closed";
    }
    return "?";
}

std::optional<ConnectionPhase> connectionTransition(ConnectionPhase from,
                                                    ConnectionEvent event) noexcept {
    using P = ConnectionPhase;
    if (from == P::closed) {
        return std::nullopt;
    }
    switch (event) {
    case ConnectionEvent::closed:
        return P::closed;
    case ConnectionEvent::started:
        return from == P::created ? std::optional(P::open) : std::nullopt;
    case ConnectionEvent::startedRoomless:
        return from == P::created ? std::optional(P::awaitingRoom) : std::nullopt;
    case ConnectionEvent::seated:
        return from == P::awaitingRoom ? std::optional(P::open) : std::nullopt;
    case ConnectionEvent::outputFull:
        return from == P::open ? std::optional(P::readPaused) : std::nullopt;
    case ConnectionEvent::outputDrained:
        return from == P::readPaused ? std::optional(P::open) : std::nullopt;
    case ConnectionEvent::drain:
        // Only a connection that reads can be told to finish: one still waiting for room has
        // said nothing that could be answered.
        return from == P::open || from == P::readPaused ? std::optional(P::draining) : std::nullopt;
    }
    return std::nullopt;
}

std::shared_ptr<Connection> Connection::create(Socket socket, Options options,
                                               const SessionServices& services,
                                               ConnectionBuffers& buffers, ConnectionOwner& owner) {
    return std::shared_ptr<Connection>(
        new Connection(std::move(socket), std::move(options), services, buffers, owner));
}

Connection::Connection(Socket socket, Options options, const SessionServices& services,
                       ConnectionBuffers& buffers, ConnectionOwner& owner)
    : socket_(std::move(socket)), deadline_(socket_.get_executor()), stall_(socket_.get_executor()),
      options_(std::move(options)), buffers_(buffers), owner_(&owner),
      tls_(options_.tls != nullptr ? std::make_unique<wire::TLSChannel>(
                                         *options_.tls, wire::PSKParameters::Role::server)
                                   : nullptr),
      session_(options_.channel, options_.rules, services, *this, *this),
      replies_(options_.replies) {}

Connection::~Connection() = default;

bool Connection::move(ConnectionEvent event) noexcept {
    const auto next = connectionTransition(phase_, event);
    if (!next) {
        return false;
    }
    phase_ = *next;
    return true;
}

void Connection::start(bool roomless) {
    if (!move(roomless ? ConnectionEvent::startedRoomless : ConnectionEvent::started)) {
        return;
    }
    if (!tls_) {
        session_.secured(); // the cable: connected is secured
    }
    waitReadable();
}

void Connection::send(const wire::ControlMessage& message) {
    encoded_.clear();
    const wire::Frame frame = message.encode();
    wire::FrameCodec::encodeInto(encoded_, frame.type, frame.payload);
    writePlaintext(encoded_);
}

void Connection::close() {
    if (!move(ConnectionEvent::closed)) {
        return;
    }
    session_.close();
    deadline_.cancel();
    stall_.cancel();
    if (tls_) {
        // Best effort close_notify, so a well-behaved peer sees an orderly end.
        tls_->shutdown();
        tls_->takeCiphertext(outgoing_);
    }
    std::error_code ignored;
    if (inFlight_.empty() && !outgoing_.empty()) {
        socket_.write_some(asio::buffer(outgoing_), ignored);
    }
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
    // Reported on a later turn: close() is called from inside the owner's and the session's
    // own handling, which must not hear of the end in the middle of it.
    asio::post(context(), [self = shared_from_this()] { self->report(); });
}

void Connection::end() {
    if (!move(ConnectionEvent::closed)) {
        return;
    }
    session_.close();
    deadline_.cancel();
    stall_.cancel();
    std::error_code ignored;
    socket_.close(ignored);
    report();
}

void Connection::closeQuietly() {
    owner_ = nullptr;
    close();
}

void Connection::report() {
    if (reported_ || owner_ == nullptr) {
        return;
    }
    reported_ = true;
    owner_->connectionClosed(*this);
}

void Connection::setDeadline(std::chrono::milliseconds after) {
    if (!isOpen()) {
        return;
    }
    deadline_.expires_after(after);
    deadline_.async_wait([self = shared_from_this()](std::error_code ec) {
        if (!ec && self->isOpen() && self->owner_ != nullptr) {
            self->owner_->connectionDeadline(*self);
        }
    });
}

void Connection::cancelDeadline() {
    deadline_.cancel();
}

bool Connection::hasBytesWaiting() {
    if (!socket_.is_open()) {
        return false;
    }
    std::uint8_t byte = 0;
    return ::recv(socket_.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

std::size_t Connection::bufferedBytes() const noexcept {
    return session_.bufferedBytes() + (tls_ ? tls_->bufferedCiphertext() : 0) + outgoing_.size() +
           inFlight_.size();
}

// ---- reading ----

void Connection::waitReadable() {
    if (phase_ == ConnectionPhase::open && session_.phase() == SessionPhase::admitted) {
        receiveAdmitted();
        return;
    }
    socket_.async_wait(asio::socket_base::wait_read,
                       [self = shared_from_this()](std::error_code ec) {
                           if (!self->isOpen()) {
                               return;
                           }
                           if (ec) {
                               self->end();
                               return;
                           }
                           self->onReadable();
                       });
}

void Connection::onReadable() {
    if (phase_ == ConnectionPhase::awaitingRoom) {
        if (!hasBytesWaiting()) {
            end(); // readable without bytes: it left
            return;
        }
        // It has spoken: it may now take the place of one that has not.
        if (owner_ == nullptr || !owner_->connectionSpoke(*this)) {
            close();
            return;
        }
        move(ConnectionEvent::seated);
    }
    auto& buffer = buffers_.received;
    // Never waits, whatever the socket object believes of its descriptor: a turn that finds
    // nothing (a look after a pause, a wake-up with nothing left) goes back to waiting, and the
    // queue's other connections are not held up.
    const ssize_t got = ::recv(socket_.native_handle(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        waitReadable();
        return;
    }
    if (got <= 0) {
        end(); // end of stream or receive error
        return;
    }
    received(ByteView(buffer.data(), static_cast<std::size_t>(got)), buffer.size());
}

// An admitted tablet's reads (the input path): a receive of its own, tried at once and
// otherwise left with the reactor, which then needs nothing more per read, where a readiness
// wait costs an epoll_ctl every time it is armed. The buffer is the connection's own because
// the reactor receives into it before this queue's turn comes; only admitted connections
// (paired tablets, a handful) get one, so a flood of strangers still costs no buffer each.
void Connection::receiveAdmitted() {
    if (ownReceived_.empty()) {
        ownReceived_.resize(kAdmittedReceiveSize);
    }
    socket_.async_read_some(
        asio::buffer(ownReceived_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
            if (!self->isOpen()) {
                return;
            }
            if (ec == asio::error::would_block || ec == asio::error::try_again ||
                ec == asio::error::interrupted) {
                self->waitReadable();
                return;
            }
            if (ec || n == 0) {
                self->end(); // end of stream or receive error
                return;
            }
            self->received(ByteView(self->ownReceived_.data(), n), self->ownReceived_.size());
        });
}

void Connection::received(ByteView bytes, std::size_t capacity) {
    const std::size_t n = bytes.size();
    if (tls_) {
        tls_->feed(bytes);
        if (owner_ != nullptr) {
            owner_->connectionProgressed(*this, session_.phase() == SessionPhase::handshaking
                                                    ? ConnectionOwner::Progress::bytesArrived
                                                    : ConnectionOwner::Progress::framing);
        }
        if (!isOpen()) {
            return;
        }
        if (session_.phase() == SessionPhase::handshaking && !advanceHandshake()) {
            return;
        }
    }
    if (session_.phase() != SessionPhase::handshaking && !readPlaintext(bytes)) {
        return;
    }
    flushOutgoing();
    if (!isOpen()) {
        return;
    }
    if (outgoing_.size() + inFlight_.size() > kOutputBackpressure &&
        move(ConnectionEvent::outputFull)) {
        return; // the next read waits until the peer has taken enough (writeFinished)
    }
    if (n == capacity) {
        // More may be waiting, and the reactor tells of new bytes only: read on, after the
        // queue's other work.
        readSoon();
        return;
    }
    waitReadable();
}

// Posted to the context itself rather than through the socket's polymorphic executor, whose
// handler memory this asio allocates and frees with mismatched calls.
asio::io_context& Connection::context() {
    return static_cast<asio::io_context&>(
        asio::query(socket_.get_executor(), asio::execution::context));
}

void Connection::readSoon() {
    asio::post(context(), [self = shared_from_this()] {
        if (self->phase_ == ConnectionPhase::open || self->phase_ == ConnectionPhase::draining) {
            self->onReadable();
        }
    });
}

// False when the connection ended.
bool Connection::advanceHandshake() {
    switch (tls_->handshake()) {
    case wire::TLSChannel::Handshake::inProgress:
        flushOutgoing();
        return isOpen();
    case wire::TLSChannel::Handshake::done:
        session_.secured();
        if (owner_ != nullptr) {
            owner_->connectionProgressed(*this, ConnectionOwner::Progress::secured);
        }
        flushOutgoing();
        return isOpen();
    case wire::TLSChannel::Handshake::wrongKey:
        if (owner_ != nullptr) {
            owner_->connectionWrongKey(*this);
        }
        break;
    case wire::TLSChannel::Handshake::failed:
        break;
    }
    flushOutgoing(); // the alert, best effort
    close();
    return false;
}

// What this receive holds for the session, as one burst. False when the connection ended.
bool Connection::readPlaintext(ByteView bytes) {
    bool open = true;
    ByteView plaintext = bytes;
    if (tls_) {
        buffers_.plaintext.clear();
        open = tls_->readPlaintext(buffers_.plaintext);
        plaintext = buffers_.plaintext;
    }
    if (!plaintext.empty()) {
        session_.receive(plaintext);
        if (owner_ != nullptr && session_.hasDecodedMessage()) {
            owner_->connectionProgressed(*this, ConnectionOwner::Progress::decoded);
        }
        if (owner_ != nullptr && isOpen() && session_.phase() == SessionPhase::admitted) {
            owner_->connectionRead(*this);
        }
    }
    if (!isOpen()) {
        return false;
    }
    if (!open) {
        end(); // close_notify or a broken record
        return false;
    }
    return true;
}

// ---- writing ----

void Connection::writePlaintext(ByteView frames) {
    if (!isOpen()) {
        return;
    }
    if (replies_.push(frames.size()) == ReplyQueue::Verdict::overflow) {
        close(); // it does not read what it asks for
        return;
    }
    if (tls_) {
        if (!tls_->write(frames)) {
            close();
            return;
        }
    } else {
        outgoing_.insert(outgoing_.end(), frames.begin(), frames.end());
    }
    flushOutgoing();
}

void Connection::flushOutgoing() {
    if (tls_) {
        tls_->takeCiphertext(outgoing_);
    }
    if (!inFlight_.empty() || !isOpen()) {
        return;
    }
    if (!outgoing_.empty()) {
        // Hand the bytes to the kernel now: replies leave before anything that follows them
        // (the owner's report of an admission after helloAck) and without a trip through the
        // reactor. Whatever does not fit goes through an asynchronous write; errors surface
        // there too.
        std::error_code ec;
        const std::size_t n = socket_.write_some(asio::buffer(outgoing_), ec);
        if (!ec) {
            outgoing_.erase(outgoing_.begin(), outgoing_.begin() + static_cast<std::ptrdiff_t>(n));
            replies_.sent(n);
        }
    }
    if (outgoing_.empty()) {
        finishIfDrained();
        return;
    }
    inFlight_.swap(outgoing_);
    outgoing_.clear();
    armStallTimer();
    socket_.async_write_some(asio::buffer(inFlight_),
                             [self = shared_from_this()](std::error_code ec, std::size_t n) {
                                 self->writeFinished(ec, n);
                             });
}

void Connection::writeFinished(std::error_code ec, std::size_t n) {
    if (!isOpen()) {
        return;
    }
    if (ec) {
        end();
        return;
    }
    replies_.sent(n);
    inFlight_.erase(inFlight_.begin(), inFlight_.begin() + static_cast<std::ptrdiff_t>(n));
    if (!inFlight_.empty()) {
        // Part of it left: the peer reads, so it gets the whole stall limit again.
        armStallTimer();
        socket_.async_write_some(asio::buffer(inFlight_),
                                 [self = shared_from_this()](std::error_code e, std::size_t m) {
                                     self->writeFinished(e, m);
                                 });
        return;
    }
    stall_.cancel();
    flushOutgoing();
    if (!isOpen()) {
        return;
    }
    if (phase_ == ConnectionPhase::readPaused &&
        outgoing_.size() + inFlight_.size() <= kOutputBackpressure) {
        move(ConnectionEvent::outputDrained);
        readSoon(); // what the peer sent during the pause is there already, without a new edge
    }
}

void Connection::armStallTimer() {
    if (!options_.writeStallLimit) {
        return;
    }
    stall_.expires_after(*options_.writeStallLimit);
    stall_.async_wait([weak = weak_from_this()](std::error_code ec) {
        auto self = weak.lock();
        if (!ec && self && self->isOpen() && !self->inFlight_.empty()) {
            self->close(); // no byte taken for the limit: the peer does not read
        }
    });
}

// A draining connection closes once its last reply was handed on.
void Connection::finishIfDrained() {
    if (phase_ == ConnectionPhase::draining && outgoing_.empty() && inFlight_.empty()) {
        close();
    }
}

// ---- the session's link and delegate (inside receive, on the queue) ----

void Connection::write(ByteView frames) {
    writePlaintext(frames);
}

void Connection::closeAfterWrites() {
    if (move(ConnectionEvent::drain)) {
        flushOutgoing(); // closes as soon as nothing is left to write
    }
}

void Connection::closeNow() {
    close();
}

void Connection::sessionAdmitted(const PairedDevice& device) {
    if (owner_ != nullptr) {
        owner_->connectionAdmitted(*this, device);
    }
}

void Connection::sessionReceived(std::span<const wire::ControlMessage> messages,
                                 const std::string& deviceID) {
    if (owner_ != nullptr) {
        owner_->connectionReceived(*this, messages, deviceID);
    }
}

void Connection::sessionPaired(const PairedDevice& device) {
    if (owner_ != nullptr) {
        owner_->connectionPaired(*this, device);
    }
}

void Connection::sessionRefused(std::uint16_t code, const std::string& reason) {
    if (owner_ != nullptr) {
        owner_->connectionRefused(*this, code, reason);
    }
}

} // namespace quillon
