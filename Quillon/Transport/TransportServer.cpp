#include "Quillon/Transport/TransportServer.hpp"

#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Transport/Acceptor.hpp"
#include "Quillon/Transport/HeartbeatMonitor.hpp"
#include "Quillon/Transport/Session.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/PSKParameters.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "WireProtocol/TLSChannel.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <span>
#include <variant>

namespace quillon {

using wire::Bytes;
using wire::ByteView;
using wire::ControlMessage;

TransportServerError::TransportServerError(Kind kind, std::optional<TransportError> underlying)
    : kind_(kind), underlying_(std::move(underlying)) {
    text_ = kind_ == Kind::listenerFailed ? underlying_->description()
                                          : i18n::tr("the listener was not ready within 5 seconds");
}

namespace {

constexpr std::size_t kReceiveChunk = 65536;
// While this much output waits for a peer that does not read, its input is not read either:
// its requests cannot pile up replies without bound.
constexpr std::size_t kOutputBackpressure = 1 << 20;
// How long an idle newcomer that found no place may wait for its first bytes.
constexpr auto kRoomGrace = std::chrono::milliseconds(2000);
constexpr const char* kTooManyWrongPINs =
    i18n::N_("Too many wrong pairing codes: the pairing window was closed. Start pairing again.");

double systemNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::uint32_t truncatedDimension(double value) {
    if (!(value > 0)) { // negative, zero and NaN
        return 0;
    }
    if (value >= 4294967295.0) {
        return std::numeric_limits<std::uint32_t>::max();
    }
    return static_cast<std::uint32_t>(value);
}

std::string peerAddressOf(const asio::ip::tcp::socket& socket) {
    std::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) {
        return {};
    }
    auto address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return address.to_string();
}

// A one-shot rendezvous between the queue, where a listener comes up, and the caller that
// waits for it. The first resolution wins; a wait that times out resolves it itself, so a
// listener that comes up too late learns it was given up and closes.
class ListenerReadySignal {
public:
    using Outcome = std::variant<std::monostate, std::uint16_t, TransportServerError>;

    // The queue is about to install a ready listener. False when the caller already gave up;
    // after true the caller waits for resolve() however long it takes (it is the next step of
    // the same queue item).
    bool claim() {
        std::lock_guard lock(mutex_);
        if (!std::holds_alternative<std::monostate>(outcome_)) {
            return false;
        }
        claimed_ = true;
        return true;
    }

    void resolve(Outcome outcome) {
        {
            std::lock_guard lock(mutex_);
            if (!std::holds_alternative<std::monostate>(outcome_)) {
                return; // the first resolution wins
            }
            outcome_ = std::move(outcome);
        }
        cv_.notify_all();
    }

    std::uint16_t wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        const auto resolved = [&] { return !std::holds_alternative<std::monostate>(outcome_); };
        if (!cv_.wait_for(lock, timeout, resolved)) {
            if (claimed_) {
                cv_.wait(lock, resolved);
            } else {
                outcome_ = TransportServerError::listenerTimedOut();
            }
        }
        if (auto* port = std::get_if<std::uint16_t>(&outcome_)) {
            return *port;
        }
        throw std::get<TransportServerError>(outcome_);
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    Outcome outcome_;
    bool claimed_ = false;
};

// A listener: what it accepts, and the TLS parameters its connections run under.
struct Listener {
    std::shared_ptr<Acceptor> acceptor;
    wire::SSLContextPtr ctx;
    SessionChannel channel;
};

// One Wi-Fi connection: its socket, its TLS engine and the session above them. The socket is
// open until the connection is cancelled or closed; the session says what the peer may do.
struct Connection : SessionLink, std::enable_shared_from_this<Connection> {
    Connection(TransportServer::Core& owner, asio::ip::tcp::socket s,
               const wire::SSLContextPtr& ctx, SessionChannel channel,
               const SessionServices& services, SessionRules rules, SessionDelegate& delegate,
               std::string address, ReplyQueue::Limits replyLimits)
        : core(owner), socket(std::move(s)), deadline(socket.get_executor()),
          tls(ctx, wire::PSKParameters::Role::server),
          session(channel, rules, services, *this, delegate), peerAddress(std::move(address)),
          source(ConnectionAdmission::sourceOf(peerAddress)), replies(replyLimits) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void write(ByteView frames) override;
    void closeAfterWrites() override;
    void closeNow() override;

    TransportServer::Core& core;
    asio::ip::tcp::socket socket;
    asio::steady_timer deadline;
    wire::TLSChannel tls;
    Session session;
    std::string peerAddress;
    std::string source; // what the admission tables and the PIN counter count it under
    ConnectionAdmission::Ticket ticket = 0;
    ReplyQueue replies;
    // Counted against the limits for connections that proved nothing yet (no handshake, or on
    // the main channel no decodable message).
    bool countedAsUnproven = false;
    // Idle when it came and found every place held by connections that had spoken: it waits
    // (uncounted, briefly) for its first bytes to ask for a place again.
    bool awaitingRoom = false;
    // Back-pressure: the next receive waits until the peer has read enough of its replies.
    bool readPaused = false;
    Bytes outgoing; // ciphertext not yet handed to the socket
    Bytes inFlight; // ciphertext of the asynchronous write in progress (empty: none)
};

} // namespace

struct TransportServer::Core : SessionDelegate,
                               std::enable_shared_from_this<TransportServer::Core> {
    Core(std::shared_ptr<PairingStore> s, TransportServerOptions o, platform::SerialQueue& q)
        : store(std::move(s)), options(std::move(o)), queue(q), io(q.context()),
          readBuffer(kReceiveChunk), services{*store,
                                              {},
                                              [this] { return screenInfo(); },
                                              &heartbeat,
                                              &pairingSession} {
        if (!options.clock) {
            options.clock = systemNow;
        }
        services.clock = options.clock;
        plainBuffer.reserve(kReceiveChunk);
    }

    std::shared_ptr<PairingStore> store;
    TransportServerOptions options;
    platform::SerialQueue& queue;
    asio::io_context& io;

    mutable std::mutex delegateMutex;
    std::weak_ptr<TransportServerDelegate> delegateRef;

    // Queue-confined state.
    std::map<Connection*, std::shared_ptr<Connection>> connections;
    std::shared_ptr<Listener> mainListener;
    std::shared_ptr<Listener> pairingListener;
    PairingSession pairingSession;
    HeartbeatMonitor heartbeat;
    std::shared_ptr<platform::TimerHandle> heartbeatTimer;
    ConnectionAdmission mainWaiting{options.mainWaiting};
    ConnectionAdmission pairingWaiting{options.pairingWaiting};
    PairingFailureCounter pairingFailures{options.pairingFailures};
    SessionBudget sessionBudget{options.sessions};
    Connection* receiving = nullptr; // the connection whose bytes the session is handling
    struct TurnedAway {
        std::size_t count = 0; // since the last report
        std::string lastSource;
        std::optional<std::chrono::steady_clock::time_point> reportedAt;
    };
    TurnedAway turnedAwayMain;
    TurnedAway turnedAwayPairing;
    // Connections waiting for their first bytes to ask for a place again (see accept()).
    std::size_t awaitingRoomMain = 0;
    std::size_t awaitingRoomPairing = 0;
    std::vector<std::uint8_t> readBuffer;
    Bytes plainBuffer; // plaintext of one receive, reused
    std::string serviceName;
    SessionServices services;

    // Readable from any thread; -1 = no listener.
    std::atomic<int> mainPortValue{-1};
    std::atomic<int> pairingPortValue{-1};

    std::shared_ptr<TransportServerDelegate> delegate() const {
        std::lock_guard lock(delegateMutex);
        return delegateRef.lock();
    }

    void reportFailure(const TransportError& error) {
        if (auto d = delegate()) {
            d->didFail(error);
        }
    }

    // ---- SessionDelegate (the queue, inside a receive) ----

    void sessionAdmitted(const PairedDevice& device) override {
        if (auto d = delegate()) {
            d->didAccept(device);
        }
        if (receiving != nullptr) {
            // A device beyond its share of sessions loses its oldest ones.
            cancelAll(sessionBudget.admit(keyOf(*receiving), device.deviceID));
        }
    }

    void sessionReceived(std::span<const ControlMessage> messages,
                         const std::string& deviceID) override {
        if (auto d = delegate()) {
            d->didReceiveBurst(messages, deviceID);
        }
    }

    void sessionPaired(const PairedDevice& device) override {
        // The window is spent; its listener stays until the owner ends the window (it hears
        // didPair and calls endPairingIfSpent()).
        if (auto d = delegate()) {
            d->didPair(device);
        }
    }

    void sessionRefused(std::uint16_t code, const std::string& reason) override {
        if (auto d = delegate()) {
            TransportRefusal refusal;
            refusal.kind = TransportRefusal::Kind::refused;
            refusal.code = code;
            refusal.reason = reason;
            refusal.source = receiving != nullptr ? receiving->source : std::string();
            d->didRefuse(refusal);
        }
    }

    // ---- listeners ----

    // On the queue: binds a listener and starts accepting on it.
    void openListener(SessionChannel channel, std::shared_ptr<wire::SSLContextPtr> ctx,
                      const std::shared_ptr<ListenerReadySignal>& signal,
                      const std::function<void(const std::shared_ptr<Listener>&)>& onReady) {
        auto listener = std::make_shared<Listener>(
            Listener{std::make_shared<Acceptor>(io), std::move(*ctx), channel});
        const std::uint16_t port =
            options.port == 0 ? 0
                              : static_cast<std::uint16_t>(
                                    options.port + (channel == SessionChannel::pairing ? 1 : 0));
        std::error_code ec = listener->acceptor->bind(port);
        if (ec) {
            TransportError error(
                i18n::fill(i18n::tr("cannot listen on a TCP port: {1}"), {ec.message()}), ec);
            signal->resolve(TransportServerError::listenerFailed(error));
            reportFailure(error);
            return;
        }
        if (!signal->claim()) {
            // The caller gave up waiting: this listener is nobody's.
            listener->acceptor->close();
            return;
        }
        onReady(listener);
        std::weak_ptr<Core> weak = weak_from_this();
        std::weak_ptr<Listener> weakListener = listener;
        listener->acceptor->start(
            [weak, weakListener](asio::ip::tcp::socket socket) {
                auto core = weak.lock();
                auto l = weakListener.lock();
                if (core && l) {
                    core->accept(*l, std::move(socket));
                }
            },
            [weak](std::error_code ec) {
                if (auto core = weak.lock()) {
                    core->reportFailure(TransportError(
                        i18n::fill(i18n::tr("accepting a connection failed: {1}"), {ec.message()}),
                        ec));
                }
            });
        signal->resolve(listener->acceptor->port());
    }

    void closePairingListener() {
        if (pairingListener) {
            pairingListener->acceptor->close();
            pairingListener.reset();
            pairingPortValue = -1;
            if (options.advertiser) {
                options.advertiser->withdraw(wire::ServiceConstants::pairingBonjourType);
            }
        }
    }

    void closeMainListener() {
        if (mainListener) {
            mainListener->acceptor->close();
            mainListener.reset();
            mainPortValue = -1;
            if (options.advertiser) {
                options.advertiser->withdraw(wire::ServiceConstants::bonjourType);
            }
        }
    }

    // ---- connections ----

    ConnectionAdmission& waitingTable(SessionChannel channel) {
        return channel == SessionChannel::main ? mainWaiting : pairingWaiting;
    }

    static SessionBudget::Key keyOf(const Connection& c) {
        return static_cast<SessionBudget::Key>(reinterpret_cast<std::uintptr_t>(&c));
    }

    // Ends the connections a budget named (already out of its table).
    void cancelAll(const std::vector<SessionBudget::Key>& keys) {
        for (const auto key : keys) {
            auto it =
                connections.find(reinterpret_cast<Connection*>(static_cast<std::uintptr_t>(key)));
            if (it != connections.end()) {
                auto c = it->second;
                cancel(c);
            }
        }
    }

    void accept(const Listener& l, asio::ip::tcp::socket socket) {
        std::error_code ec;
        const std::string address = peerAddressOf(socket);
        if (l.channel == SessionChannel::pairing &&
            pairingFailures.isShutOut(ConnectionAdmission::sourceOf(address))) {
            socket.close(ec); // used up its tries in this window
            return;
        }
        socket.non_blocking(true, ec);
        if (ec) {
            return;
        }
        wire::PSKParameters::configureSocket(socket.native_handle());

        std::shared_ptr<Connection> c;
        try {
            c = std::make_shared<Connection>(*this, std::move(socket), l.ctx, l.channel, services,
                                             SessionRules::wifi(options.preAdmissionFrameLimit),
                                             *this, address, options.replies);
        } catch (const std::exception&) {
            return; // out of memory: the socket closes with it
        }
        connections.emplace(c.get(), c);
        const auto progress = hasBytesWaiting(c->socket)
                                  ? ConnectionAdmission::Progress::handshaking
                                  : ConnectionAdmission::Progress::connected;
        if (!seat(c, progress)) {
            if (awaitingRoom(l.channel) < waitingTable(l.channel).budget().total) {
                // Idle, and every place is held by a connection that has spoken: it may wait
                // a moment for its own first bytes (a real client's ClientHello follows its
                // connection at once) and then ask again.
                c->awaitingRoom = true;
                ++awaitingRoom(l.channel);
                armDeadline(c, kRoomGrace);
                waitReadable(c);
                return;
            }
            noteTurnedAway(l.channel, 1, c->source);
            connections.erase(c.get());
            c->countedAsUnproven = false;
            std::error_code ignored;
            c->socket.close(ignored);
            return;
        }
        armDeadline(c, options.handshakeTimeout);
        waitReadable(c);
    }

    std::size_t& awaitingRoom(SessionChannel channel) {
        return channel == SessionChannel::main ? awaitingRoomMain : awaitingRoomPairing;
    }

    // Gives a connection a place in its listener's table of waiting connections, making room by
    // closing what has shown least: a flood displaces itself, not the client that is getting
    // somewhere. Bytes already waiting in a socket count as shown, read or not (a ClientHello
    // that came with the connection, or while the queue was busy with others). False when there
    // is no place for it (it is not counted then).
    bool seat(const std::shared_ptr<Connection>& c, ConnectionAdmission::Progress progress) {
        const SessionChannel channel = c->session.channel();
        auto& table = waitingTable(channel);
        const auto waitingConnection = [&](ConnectionAdmission::Ticket ticket) {
            for (const auto& [key, other] : connections) {
                if (other->countedAsUnproven && other->ticket == ticket &&
                    other->session.channel() == channel) {
                    return other;
                }
            }
            return std::shared_ptr<Connection>();
        };
        const auto decision =
            table.admit(c->source, progress, [&](ConnectionAdmission::Ticket ticket) {
                const auto other = waitingConnection(ticket);
                return other && hasBytesWaiting(other->socket);
            });
        for (const auto evicted : decision.evicted) {
            if (auto other = waitingConnection(evicted)) {
                other->countedAsUnproven = false; // out of the table already
                cancel(other);
            }
        }
        noteTurnedAway(channel, decision.evicted.size(), {});
        if (!decision.admitted) {
            return false;
        }
        c->ticket = decision.ticket;
        c->countedAsUnproven = true;
        return true;
    }

    // Whether the peer has sent anything not read yet (without reading it).
    static bool hasBytesWaiting(asio::ip::tcp::socket& socket) {
        std::uint8_t byte = 0;
        return ::recv(socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    }

    // Connections turned away for want of room in the waiting tables (closed to make room, or
    // not let in). The first is told at once, later ones as one count per interval, so that a
    // flood costs the log a line every few seconds, not one per connection.
    void noteTurnedAway(SessionChannel channel, std::size_t count, const std::string& source) {
        if (count == 0) {
            return;
        }
        auto& tally = channel == SessionChannel::main ? turnedAwayMain : turnedAwayPairing;
        tally.count += count;
        if (!source.empty()) {
            tally.lastSource = source;
        }
        reportTurnedAway(channel);
    }

    // Tells what was counted, unless the last report is more recent than the interval (the
    // heartbeat tick tells the rest later).
    void reportTurnedAway(SessionChannel channel) {
        auto& tally = channel == SessionChannel::main ? turnedAwayMain : turnedAwayPairing;
        const auto now = std::chrono::steady_clock::now();
        if (tally.count == 0 ||
            (tally.reportedAt && now - *tally.reportedAt < options.turnedAwayReportInterval)) {
            return;
        }
        tally.reportedAt = now;
        TransportRefusal refusal;
        refusal.kind = TransportRefusal::Kind::noRoom;
        refusal.channel = channel == SessionChannel::main ? "main" : "pairing";
        refusal.count = tally.count;
        refusal.source = tally.lastSource;
        tally.count = 0;
        if (auto d = delegate()) {
            d->didRefuse(refusal);
        }
    }

    void armDeadline(const std::shared_ptr<Connection>& c, std::chrono::milliseconds after) {
        std::weak_ptr<Core> weak = weak_from_this();
        c->deadline.expires_after(after);
        c->deadline.async_wait([weak, c](std::error_code ec) {
            auto core = weak.lock();
            if (core && !ec && (c->countedAsUnproven || c->awaitingRoom)) {
                core->cancel(c);
            }
        });
    }

    void leaveWaitingRoom(Connection& c) {
        if (c.awaitingRoom) {
            c.awaitingRoom = false;
            --awaitingRoom(c.session.channel());
        }
    }

    void releasePending(Connection& c) {
        if (!c.countedAsUnproven) {
            return;
        }
        c.countedAsUnproven = false;
        waitingTable(c.session.channel()).release(c.ticket);
        c.deadline.cancel();
    }

    bool isLive(const std::shared_ptr<Connection>& c) const {
        return c->socket.is_open() && connections.count(c.get()) != 0;
    }

    void waitReadable(const std::shared_ptr<Connection>& c) {
        std::weak_ptr<Core> weak = weak_from_this();
        c->socket.async_wait(asio::socket_base::wait_read, [weak, c](std::error_code ec) {
            auto core = weak.lock();
            if (!core) {
                return;
            }
            if (ec) {
                core->closeConnection(c);
                return;
            }
            core->onReadable(c);
        });
    }

    // One receive of at most 64 KiB; everything in it handled as one burst, then the next
    // receive.
    void onReadable(const std::shared_ptr<Connection>& c) {
        if (!isLive(c)) {
            return;
        }
        if (c->awaitingRoom) {
            leaveWaitingRoom(*c);
            if (!hasBytesWaiting(c->socket)) {
                closeConnection(c); // readable without bytes: it left
                return;
            }
            // It has spoken: it may now take the place of one that has not.
            if (!seat(c, ConnectionAdmission::Progress::handshaking)) {
                noteTurnedAway(c->session.channel(), 1, c->source);
                cancel(c);
                return;
            }
            armDeadline(c, options.handshakeTimeout);
        }
        std::error_code ec;
        const std::size_t n = c->socket.read_some(asio::buffer(readBuffer), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            waitReadable(c);
            return;
        }
        if (ec || n == 0) {
            closeConnection(c); // end of stream or receive error
            return;
        }
        c->tls.feed(ByteView(readBuffer.data(), n));
        if (c->countedAsUnproven) {
            waitingTable(c->session.channel())
                .advance(c->ticket, c->session.phase() == SessionPhase::handshaking
                                        ? ConnectionAdmission::Progress::handshaking
                                        : ConnectionAdmission::Progress::framing);
        }
        if (c->session.phase() == SessionPhase::handshaking && !advanceHandshake(c)) {
            return;
        }
        if (c->session.phase() != SessionPhase::handshaking && !readPlaintext(c)) {
            return;
        }
        flushOutgoing(c);
        if (!isLive(c)) {
            return;
        }
        if (c->outgoing.size() + c->inFlight.size() > kOutputBackpressure) {
            c->readPaused = true;
        } else {
            waitReadable(c);
        }
    }

    // False when the connection ended.
    bool advanceHandshake(const std::shared_ptr<Connection>& c) {
        switch (c->tls.handshake()) {
        case wire::TLSChannel::Handshake::inProgress:
            flushOutgoing(c);
            return isLive(c);
        case wire::TLSChannel::Handshake::done:
            c->session.secured();
            waitingTable(c->session.channel())
                .advance(c->ticket, ConnectionAdmission::Progress::handshakeDone);
            if (c->session.channel() == SessionChannel::pairing) {
                releasePending(*c); // holds the PIN: trusted to send its request
            } else {
                armDeadline(c, options.firstFrameTimeout);
            }
            flushOutgoing(c);
            return isLive(c);
        case wire::TLSChannel::Handshake::wrongKey:
            if (c->session.channel() == SessionChannel::pairing) {
                wrongPIN(c->source);
            }
            break;
        case wire::TLSChannel::Handshake::failed:
            break;
        }
        flushOutgoing(c); // the alert, best effort
        cancel(c);
        return false;
    }

    // A peer on the pairing listener proved it does not hold the PIN. Counted against its
    // source first: a neighbour's guesses shut out the neighbour, and only the window's total
    // closes the window.
    void wrongPIN(const std::string& source) {
        const double now = options.clock();
        pairingSession.prune(now);
        if (!pairingSession.isOpen()) {
            return;
        }
        if (auto d = delegate()) {
            TransportRefusal refusal;
            refusal.kind = TransportRefusal::Kind::wrongPIN;
            refusal.source = source;
            d->didRefuse(refusal);
        }
        const bool wasShutOut = pairingFailures.isShutOut(source);
        switch (pairingFailures.recordFailure(source)) {
        case PairingFailureCounter::Verdict::counted:
            break;
        case PairingFailureCounter::Verdict::sourceShutOut:
            if (!wasShutOut) {
                reportFailure(TransportError(i18n::fill(
                    i18n::tr("{1} entered a wrong pairing code {2} times: this pairing window "
                             "takes no more connections from that address"),
                    {source, std::to_string(options.pairingFailures.perSource)})));
            }
            break;
        case PairingFailureCounter::Verdict::windowClosed:
            pairingSession.close();
            closePairingListener();
            reportFailure(TransportError(i18n::tr(kTooManyWrongPINs)));
            break;
        }
    }

    // All the plaintext of this receive, as one burst for the session. False when the
    // connection ended.
    bool readPlaintext(const std::shared_ptr<Connection>& c) {
        plainBuffer.clear();
        const bool open = c->tls.readPlaintext(plainBuffer);
        if (!plainBuffer.empty()) {
            receiving = c.get();
            c->session.receive(plainBuffer);
            receiving = nullptr;
            if (c->session.hasDecodedMessage()) {
                releasePending(*c);
            }
            if (isLive(c) && c->session.phase() == SessionPhase::admitted) {
                // Announced frames held across all sessions stay within one budget.
                cancelAll(sessionBudget.buffered(keyOf(*c), c->session.bufferedBytes()));
            }
        }
        if (!isLive(c)) {
            return false;
        }
        if (!open) {
            closeConnection(c); // close_notify or a broken record
            return false;
        }
        return true;
    }

    wire::cm::HelloAck screenInfo() const {
        if (!options.display) {
            return {0, 0, 2.0F};
        }
        const auto bounds = options.display->mainBounds();
        return {truncatedDimension(bounds.width), truncatedDimension(bounds.height),
                static_cast<float>(options.display->pixelsPerPoint())};
    }

    // ---- sending and closing ----

    void writePlaintext(const std::shared_ptr<Connection>& c, ByteView frames) {
        if (!isLive(c)) {
            return;
        }
        if (c->replies.push(frames.size()) == ReplyQueue::Verdict::overflow) {
            cancel(c); // it does not read what it asks for
            return;
        }
        if (!c->tls.write(frames)) {
            cancel(c);
            return;
        }
        flushOutgoing(c);
    }

    void sendMessage(const ControlMessage& message, const std::shared_ptr<Connection>& c) {
        Bytes bytes;
        const wire::Frame frame = message.encode();
        wire::FrameCodec::encodeInto(bytes, frame.type, frame.payload);
        writePlaintext(c, bytes);
    }

    void flushOutgoing(const std::shared_ptr<Connection>& c) {
        c->tls.takeCiphertext(c->outgoing);
        if (!c->inFlight.empty() || !c->socket.is_open()) {
            return;
        }
        if (!c->outgoing.empty()) {
            // Hand the bytes to the kernel now: replies leave before anything that follows
            // them (didAccept after helloAck) and without a trip through the reactor. Whatever
            // does not fit goes through an asynchronous write; errors surface there too.
            std::error_code ec;
            const std::size_t n = c->socket.write_some(asio::buffer(c->outgoing), ec);
            if (!ec) {
                c->outgoing.erase(c->outgoing.begin(),
                                  c->outgoing.begin() + static_cast<std::ptrdiff_t>(n));
                c->replies.sent(n);
            }
        }
        if (c->outgoing.empty()) {
            finishIfRefused(c);
            return;
        }
        c->inFlight.swap(c->outgoing);
        c->outgoing.clear();
        std::weak_ptr<Core> weak = weak_from_this();
        asio::async_write(c->socket, asio::buffer(c->inFlight),
                          [weak, c](std::error_code ec, std::size_t) {
                              if (auto core = weak.lock()) {
                                  core->writeFinished(c, ec);
                              }
                          });
    }

    // A refused session closes once its error reply was handed on.
    void finishIfRefused(const std::shared_ptr<Connection>& c) {
        if (c->session.phase() == SessionPhase::refused && c->outgoing.empty() &&
            c->inFlight.empty()) {
            cancel(c);
        }
    }

    void writeFinished(const std::shared_ptr<Connection>& c, std::error_code ec) {
        c->replies.sent(c->inFlight.size());
        c->inFlight.clear();
        if (ec) {
            closeConnection(c);
            return;
        }
        if (!isLive(c)) {
            return;
        }
        flushOutgoing(c);
        if (!isLive(c)) {
            return;
        }
        if (c->readPaused && c->outgoing.size() + c->inFlight.size() <= kOutputBackpressure) {
            c->readPaused = false;
            waitReadable(c);
        }
    }

    // Ends the connection; it is closed when the cancellation comes back.
    void cancel(const std::shared_ptr<Connection>& c) {
        if (!c->socket.is_open()) {
            return;
        }
        c->session.close();
        c->deadline.cancel();
        // Best effort close_notify, so a well-behaved peer sees an orderly end.
        c->tls.shutdown();
        c->tls.takeCiphertext(c->outgoing);
        if (c->inFlight.empty() && !c->outgoing.empty()) {
            std::error_code ignored;
            c->socket.write_some(asio::buffer(c->outgoing), ignored);
        }
        std::error_code ignored;
        c->socket.shutdown(asio::socket_base::shutdown_both, ignored);
        c->socket.close(ignored);
        std::weak_ptr<Core> weak = weak_from_this();
        asio::post(io, [weak, c] {
            if (auto core = weak.lock()) {
                core->closeConnection(c);
            }
        });
    }

    void closeConnection(const std::shared_ptr<Connection>& c) {
        auto it = connections.find(c.get());
        if (it == connections.end()) {
            return;
        }
        connections.erase(it);
        releasePending(*c);
        leaveWaitingRoom(*c);
        sessionBudget.remove(keyOf(*c));
        c->session.close();
        c->deadline.cancel();
        std::error_code ignored;
        c->socket.close(ignored);
        // A device is connected while any of its sessions lives: only the close of its last
        // one is reported (and ends its heartbeat watch), so closing a second session does not
        // take the device, or the keys it holds, from under the first.
        if (const auto& deviceID = c->session.deviceID();
            deviceID && connectionsOf(*deviceID).empty()) {
            heartbeat.forget(*deviceID);
            if (auto d = delegate()) {
                d->didDisconnect(*deviceID);
            }
        }
    }

    std::vector<std::shared_ptr<Connection>> connectionsOf(const std::string& deviceID) const {
        std::vector<std::shared_ptr<Connection>> found;
        for (const auto& [key, c] : connections) {
            if (c->session.deviceID() == deviceID) {
                found.push_back(c);
            }
        }
        return found;
    }

    void heartbeatTick() {
        reportTurnedAway(SessionChannel::main);
        reportTurnedAway(SessionChannel::pairing);
        const double now = options.clock();
        pairingSession.prune(now);
        for (const auto& deviceID : heartbeat.prune(now)) {
            for (const auto& c : connectionsOf(deviceID)) {
                closeConnection(c);
            }
        }
    }

    void endPairingOnQueue() {
        closePairingListener();
        pairingSession.close();
    }

    // Everything closed, nothing reported.
    void stopOnQueue() {
        if (heartbeatTimer) {
            heartbeatTimer->cancel();
            heartbeatTimer.reset();
        }
        auto all = std::move(connections);
        connections.clear();
        for (auto& [key, c] : all) {
            releasePending(*c);
            leaveWaitingRoom(*c);
            sessionBudget.remove(keyOf(*c));
            cancel(c);
        }
        closePairingListener();
        closeMainListener();
    }

    void publish(const char* type, std::uint16_t port,
                 std::vector<std::pair<std::string, std::string>> txt) {
        if (!options.advertiser) {
            return;
        }
        if (serviceName.empty()) {
            serviceName =
                options.serviceName.empty() ? platform::prettyHostName() : options.serviceName;
        }
        options.advertiser->publish({serviceName, type, port, std::move(txt)});
    }
};

namespace {

// The link calls come from inside the session's receive, on the queue: the core is alive and
// holds the connection in its table (or the calls do nothing).
std::shared_ptr<Connection> selfOf(Connection& c) {
    return c.shared_from_this();
}

} // namespace

void Connection::write(ByteView frames) {
    core.writePlaintext(selfOf(*this), frames);
}

void Connection::closeAfterWrites() {
    core.flushOutgoing(selfOf(*this)); // closes as soon as nothing is left to write
}

void Connection::closeNow() {
    core.cancel(selfOf(*this));
}

TransportServer::TransportServer(std::shared_ptr<PairingStore> store,
                                 TransportServerOptions options)
    : queue_(std::make_shared<platform::SerialQueue>("quillon-net")),
      core_(std::make_shared<Core>(std::move(store), std::move(options), *queue_)) {
    if (!core_->options.advertiser && core_->options.advertise) {
        core_->options.advertiser = platform::makeAvahiAdvertiser();
    }
    if (core_->options.advertiser) {
        std::weak_ptr<Core> weakCore = core_;
        std::weak_ptr<platform::SerialQueue> weakQueue = queue_;
        core_->options.advertiser->setFailureHandler(
            [weakCore, weakQueue](const std::string& description) {
                if (auto queue = weakQueue.lock()) {
                    queue->async([weakCore, description] {
                        if (auto core = weakCore.lock()) {
                            core->reportFailure(TransportError(description));
                        }
                    });
                }
            });
    }
}

TransportServer::~TransportServer() {
    if (core_->options.advertiser) {
        core_->options.advertiser->setFailureHandler({});
    }
    queue_->sync([core = core_] {
        core->stopOnQueue();
        core->pairingSession.close();
    });
    core_.reset();
    queue_.reset(); // handlers still queued are dropped with the queue
}

void TransportServer::setDelegate(std::weak_ptr<TransportServerDelegate> delegate) {
    std::lock_guard lock(core_->delegateMutex);
    core_->delegateRef = std::move(delegate);
}

std::weak_ptr<TransportServerDelegate> TransportServer::delegate() const {
    std::lock_guard lock(core_->delegateMutex);
    return core_->delegateRef;
}

void TransportServer::start() {
    const Bytes secret = core_->store->hostSecret();
    const auto key = wire::PSKProvider::sessionKey(secret);
    auto ctx = std::make_shared<wire::SSLContextPtr>(wire::PSKParameters::make(
        key, wire::ServiceConstants::sessionIdentity, wire::PSKParameters::Role::server));
    auto signal = std::make_shared<ListenerReadySignal>();
    std::weak_ptr<Core> weak = core_;
    queue_->async([weak, ctx, signal] {
        auto core = weak.lock();
        if (!core) {
            return;
        }
        core->openListener(
            SessionChannel::main, ctx, signal, [&](const std::shared_ptr<Listener>& l) {
                core->closeMainListener(); // a second start() replaces the first listener
                core->mainListener = l;
                core->mainPortValue = l->acceptor->port();
                core->publish(wire::ServiceConstants::bonjourType, l->acceptor->port(), {});
                if (core->heartbeatTimer) {
                    core->heartbeatTimer->cancel();
                }
                core->heartbeatTimer = core->queue.scheduleRepeating(
                    std::chrono::seconds(1), std::chrono::seconds(1), [weak] {
                        if (auto c = weak.lock()) {
                            c->heartbeatTick();
                        }
                    });
            });
    });
    signal->wait(core_->options.readinessTimeout);
}

void TransportServer::stop() {
    queue_->sync([core = core_] {
        core->stopOnQueue();
        core->endPairingOnQueue();
    });
}

std::string TransportServer::beginPairing(double now) {
    endPairing();
    const std::string pin = wire::PSKProvider::randomPIN();
    const Bytes salt = wire::PSKProvider::randomBytes(16);
    const auto key = wire::PSKProvider::pairingKey(pin, salt);
    auto ctx = std::make_shared<wire::SSLContextPtr>(wire::PSKParameters::make(
        key, wire::ServiceConstants::pairingIdentity, wire::PSKParameters::Role::server));
    auto signal = std::make_shared<ListenerReadySignal>();
    std::weak_ptr<Core> weak = core_;
    queue_->async([weak, ctx, signal, pin, salt, now] {
        auto core = weak.lock();
        if (!core) {
            return;
        }
        core->openListener(
            SessionChannel::pairing, ctx, signal, [&](const std::shared_ptr<Listener>& l) {
                core->closePairingListener();
                core->pairingListener = l;
                core->pairingPortValue = l->acceptor->port();
                core->pairingSession.open(pin, salt, now);
                core->pairingFailures.reset();
                core->publish(wire::ServiceConstants::pairingBonjourType, l->acceptor->port(),
                              {{wire::ServiceConstants::saltTXTKey, wire::base64Encode(salt)}});
            });
    });
    signal->wait(core_->options.readinessTimeout);
    return pin;
}

void TransportServer::endPairing() {
    queue_->sync([core = core_] { core->endPairingOnQueue(); });
}

bool TransportServer::endPairingIfSpent() {
    bool ended = false;
    queue_->sync([&, core = core_] {
        if (!core->pairingSession.isOpen()) {
            core->endPairingOnQueue();
            ended = true;
        }
    });
    return ended;
}

void TransportServer::disconnect(const std::string& deviceID) {
    std::weak_ptr<Core> weak = core_;
    queue_->async([weak, deviceID] {
        if (auto core = weak.lock()) {
            for (const auto& c : core->connectionsOf(deviceID)) {
                core->cancel(c);
            }
        }
    });
}

void TransportServer::send(const ControlMessage& message, const std::string& deviceID) {
    std::weak_ptr<Core> weak = core_;
    queue_->async([weak, message, deviceID] {
        if (auto core = weak.lock()) {
            for (const auto& c : core->connectionsOf(deviceID)) {
                core->sendMessage(message, c);
            }
        }
    });
}

std::optional<std::uint16_t> TransportServer::mainPort() const {
    const int port = core_->mainPortValue;
    return port < 0 ? std::nullopt : std::optional<std::uint16_t>(port);
}

std::optional<std::uint16_t> TransportServer::pairingPort() const {
    const int port = core_->pairingPortValue;
    return port < 0 ? std::nullopt : std::optional<std::uint16_t>(port);
}

std::vector<std::string> TransportServer::connectedDeviceIDs() {
    std::vector<std::string> ids;
    queue_->sync([&, core = core_] {
        for (const auto& [key, c] : core->connections) {
            if (const auto& id = c->session.deviceID()) {
                ids.push_back(*id);
            }
        }
    });
    std::sort(ids.begin(), ids.end());
    return ids;
}

TransportServer::Statistics TransportServer::statistics() {
    Statistics stats;
    queue_->sync([&, core = core_] {
        stats.sessions = core->connections.size();
        stats.pendingConnections = core->mainWaiting.size() + core->pairingWaiting.size();
        for (const auto& [key, c] : core->connections) {
            stats.bufferedBytes += c->session.bufferedBytes() + c->tls.bufferedCiphertext() +
                                   c->outgoing.size() + c->inFlight.size();
        }
    });
    return stats;
}

PairingSession::State TransportServer::pairingState() {
    PairingSession::State state = PairingSession::Idle{};
    queue_->sync([&, core = core_] { state = core->pairingSession.state(); });
    return state;
}

} // namespace quillon
