#include "Quillon/Transport/TransportServer.hpp"

#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Transport/Acceptor.hpp"
#include "Quillon/Transport/Connection.hpp"
#include "Quillon/Transport/HeartbeatMonitor.hpp"
#include "Quillon/Transport/HelloAck.hpp"
#include "WireProtocol/PSKParameters.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <asio/ip/tcp.hpp>

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <variant>

namespace quillon {

using wire::Bytes;
using wire::ControlMessage;

TransportServerError::TransportServerError(Kind kind, std::optional<TransportError> underlying)
    : kind_(kind), underlying_(std::move(underlying)) {
    text_ = kind_ == Kind::listenerFailed ? underlying_->description()
                                          : i18n::tr("the listener was not ready within 5 seconds");
}

namespace {

// How long an idle newcomer that found no place may wait for its first bytes.
constexpr auto kRoomGrace = std::chrono::milliseconds(2000);
constexpr const char* kTooManyWrongPINs =
    i18n::N_("Too many wrong pairing codes: the pairing window was closed. Start pairing again.");

double systemNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
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

// An accepted TCP socket as the stream socket a Connection runs over. Empty when the socket
// cannot be handed over (it is closed then).
std::optional<Connection::Socket> streamSocketOf(asio::io_context& io,
                                                 asio::ip::tcp::socket& socket) {
    std::error_code ec;
    const auto local = socket.local_endpoint(ec);
    if (ec) {
        return std::nullopt;
    }
    const int family = local.protocol().family();
    const int fd = socket.release(ec);
    if (ec) {
        return std::nullopt;
    }
    Connection::Socket stream(io);
    stream.assign(asio::generic::stream_protocol(family, IPPROTO_TCP), fd, ec);
    if (ec) {
        ::close(fd);
        return std::nullopt;
    }
    // The new socket object does not know the descriptor is non-blocking: told again, a read
    // that finds nothing returns at once instead of waiting in the queue's thread.
    stream.non_blocking(true, ec);
    if (ec) {
        return std::nullopt;
    }
    return stream;
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

} // namespace

// Listening, advertising and admitting, on the I/O queue. The connections do their own I/O and
// tell the server what happened to them (ConnectionOwner); the server keeps, per connection,
// only what admission needs.
struct TransportServer::Impl : ConnectionOwner,
                               std::enable_shared_from_this<TransportServer::Impl> {
    Impl(std::shared_ptr<PairingStore> s, TransportServerOptions o, platform::SerialQueue& q)
        : store(std::move(s)), options(std::move(o)), queue(q),
          io(q.context()), services{
                               *store,
                               {},
                               [display = options.display] { return helloAckFor(display.get()); },
                               &heartbeat,
                               &pairingSession} {
        if (!options.clock) {
            options.clock = systemNow;
        }
        services.clock = options.clock;
    }

    // What admission keeps of a connection.
    struct Entry {
        std::shared_ptr<Connection> connection;
        // Its place among the connections that proved nothing (no handshake, or on the main
        // channel no decodable message); none once it proved something or had no place.
        std::optional<ConnectionAdmission::Ticket> ticket;
        // Came when every place was held by a connection that had spoken: it waits (uncounted,
        // briefly) for its first bytes to ask for a place again.
        bool awaitingRoom = false;
    };

    std::shared_ptr<PairingStore> store;
    TransportServerOptions options;
    platform::SerialQueue& queue;
    asio::io_context& io;

    mutable std::mutex eventsMutex;
    std::weak_ptr<TransportEvents> eventsRef;

    // Queue-confined state.
    std::map<Connection*, Entry> connections;
    std::shared_ptr<Listener> mainListener;
    std::shared_ptr<Listener> pairingListener;
    PairingSession pairingSession;
    HeartbeatMonitor heartbeat;
    std::shared_ptr<platform::TimerHandle> heartbeatTimer;
    ConnectionAdmission mainWaiting{options.mainWaiting};
    ConnectionAdmission pairingWaiting{options.pairingWaiting};
    PairingFailureCounter pairingFailures{options.pairingFailures};
    SessionBudget sessionBudget{options.sessions};
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
    ConnectionBuffers buffers;
    std::string serviceName;
    SessionServices services;

    // Readable from any thread; -1 = no listener.
    std::atomic<int> mainPortValue{-1};
    std::atomic<int> pairingPortValue{-1};

    std::shared_ptr<TransportEvents> events() const {
        std::lock_guard lock(eventsMutex);
        return eventsRef.lock();
    }

    void reportFailure(const TransportError& error) {
        if (auto e = events()) {
            e->transportFailed(error);
        }
    }

    Entry* entryOf(Connection& c) {
        auto it = connections.find(&c);
        return it == connections.end() ? nullptr : &it->second;
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
        std::weak_ptr<Impl> weak = weak_from_this();
        std::weak_ptr<Listener> weakListener = listener;
        listener->acceptor->start(
            [weak, weakListener](asio::ip::tcp::socket socket) {
                auto impl = weak.lock();
                auto l = weakListener.lock();
                if (impl && l) {
                    impl->accept(*l, std::move(socket));
                }
            },
            [weak](std::error_code ec) {
                if (auto impl = weak.lock()) {
                    impl->reportFailure(TransportError(
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

    // ---- admission ----

    ConnectionAdmission& waitingTable(SessionChannel channel) {
        return channel == SessionChannel::main ? mainWaiting : pairingWaiting;
    }

    std::size_t& awaitingRoom(SessionChannel channel) {
        return channel == SessionChannel::main ? awaitingRoomMain : awaitingRoomPairing;
    }

    static SessionBudget::Key keyOf(const Connection& c) {
        return static_cast<SessionBudget::Key>(reinterpret_cast<std::uintptr_t>(&c));
    }

    // Ends the connections a budget named (already out of its table).
    void closeAll(const std::vector<SessionBudget::Key>& keys) {
        for (const auto key : keys) {
            auto it =
                connections.find(reinterpret_cast<Connection*>(static_cast<std::uintptr_t>(key)));
            if (it != connections.end()) {
                auto c = it->second.connection;
                c->close();
            }
        }
    }

    void accept(const Listener& l, asio::ip::tcp::socket socket) {
        std::error_code ec;
        const std::string address = peerAddressOf(socket);
        const std::string source = ConnectionAdmission::sourceOf(address);
        if (l.channel == SessionChannel::pairing && pairingFailures.isShutOut(source)) {
            socket.close(ec); // used up its tries in this window
            return;
        }
        socket.non_blocking(true, ec);
        if (ec) {
            return;
        }
        wire::PSKParameters::configureSocket(socket.native_handle());
        auto stream = streamSocketOf(io, socket);
        if (!stream) {
            return;
        }

        std::shared_ptr<Connection> c;
        try {
            Connection::Options o;
            o.channel = l.channel;
            o.rules = SessionRules::wifi(options.preAdmissionFrameLimit);
            o.tls = &l.ctx;
            o.replies = options.replies;
            o.peerAddress = address;
            o.source = source;
            c = Connection::create(std::move(*stream), std::move(o), services, buffers, *this);
        } catch (const std::exception&) {
            return; // out of memory: the socket closes with it
        }
        connections.emplace(c.get(), Entry{c, std::nullopt, false});
        const auto progress = c->hasBytesWaiting() ? ConnectionAdmission::Progress::handshaking
                                                   : ConnectionAdmission::Progress::connected;
        if (!seat(*c, progress)) {
            if (awaitingRoom(l.channel) < waitingTable(l.channel).budget().total) {
                // Idle, and every place is held by a connection that has spoken: it may wait
                // a moment for its own first bytes (a real client's ClientHello follows its
                // connection at once) and then ask again.
                connections.at(c.get()).awaitingRoom = true;
                ++awaitingRoom(l.channel);
                c->setDeadline(kRoomGrace);
                c->start(/*roomless=*/true);
                return;
            }
            noteTurnedAway(l.channel, 1, source);
            connections.erase(c.get());
            c->closeQuietly();
            return;
        }
        c->setDeadline(options.handshakeTimeout);
        c->start();
    }

    // Gives a connection a place in its listener's table of waiting connections, making room by
    // closing what has shown least: a flood displaces itself, not the client that is getting
    // somewhere. Bytes already waiting in a socket count as shown, read or not (a ClientHello
    // that came with the connection, or while the queue was busy with others). False when there
    // is no place for it (it is not counted then).
    bool seat(Connection& c, ConnectionAdmission::Progress progress) {
        const SessionChannel channel = c.channel();
        auto& table = waitingTable(channel);
        const auto waitingConnection = [&](ConnectionAdmission::Ticket ticket) -> Entry* {
            for (auto& [key, entry] : connections) {
                if (entry.ticket == ticket && entry.connection->channel() == channel) {
                    return &entry;
                }
            }
            return nullptr;
        };
        const auto decision =
            table.admit(c.source(), progress, [&](ConnectionAdmission::Ticket ticket) {
                auto* other = waitingConnection(ticket);
                return other != nullptr && other->connection->hasBytesWaiting();
            });
        for (const auto evicted : decision.evicted) {
            if (auto* other = waitingConnection(evicted)) {
                other->ticket.reset(); // out of the table already
                auto victim = other->connection;
                victim->close();
            }
        }
        noteTurnedAway(channel, decision.evicted.size(), {});
        if (!decision.admitted) {
            return false;
        }
        connections.at(&c).ticket = decision.ticket;
        return true;
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
        refusal.listener = channel == SessionChannel::main ? "main" : "pairing";
        refusal.count = tally.count;
        refusal.source = tally.lastSource;
        tally.count = 0;
        if (auto e = events()) {
            e->transportRefused(refusal);
        }
    }

    void leaveWaitingRoom(Entry& entry) {
        if (entry.awaitingRoom) {
            entry.awaitingRoom = false;
            --awaitingRoom(entry.connection->channel());
        }
    }

    void releaseSeat(Entry& entry) {
        if (!entry.ticket) {
            return;
        }
        waitingTable(entry.connection->channel()).release(*entry.ticket);
        entry.ticket.reset();
        entry.connection->cancelDeadline();
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
        if (auto e = events()) {
            TransportRefusal refusal;
            refusal.kind = TransportRefusal::Kind::wrongPIN;
            refusal.source = source;
            e->transportRefused(refusal);
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

    // ---- ConnectionOwner (the queue) ----

    void connectionProgressed(Connection& c, Progress progress) override {
        auto* entry = entryOf(c);
        if (entry == nullptr) {
            return;
        }
        auto& table = waitingTable(c.channel());
        switch (progress) {
        case Progress::bytesArrived:
            if (entry->ticket) {
                table.advance(*entry->ticket, ConnectionAdmission::Progress::handshaking);
            }
            return;
        case Progress::framing:
            if (entry->ticket) {
                table.advance(*entry->ticket, ConnectionAdmission::Progress::framing);
            }
            return;
        case Progress::secured:
            if (entry->ticket) {
                table.advance(*entry->ticket, ConnectionAdmission::Progress::handshakeDone);
            }
            if (c.channel() == SessionChannel::pairing) {
                releaseSeat(*entry); // holds the PIN: trusted to send its request
            } else {
                c.setDeadline(options.firstFrameTimeout);
            }
            return;
        case Progress::decoded:
            releaseSeat(*entry);
            return;
        }
    }

    bool connectionSpoke(Connection& c) override {
        auto* entry = entryOf(c);
        if (entry == nullptr) {
            return false;
        }
        leaveWaitingRoom(*entry);
        // It has spoken: it may now take the place of one that has not.
        if (!seat(c, ConnectionAdmission::Progress::handshaking)) {
            noteTurnedAway(c.channel(), 1, c.source());
            return false;
        }
        c.setDeadline(options.handshakeTimeout);
        return true;
    }

    void connectionWrongKey(Connection& c) override {
        if (c.channel() == SessionChannel::pairing) {
            wrongPIN(c.source());
        }
    }

    void connectionDeadline(Connection& c) override {
        const auto* entry = entryOf(c);
        if (entry != nullptr && (entry->ticket || entry->awaitingRoom)) {
            c.close(); // proved nothing in time
        }
    }

    void connectionAdmitted(Connection& c, const PairedDevice& device) override {
        if (auto e = events()) {
            e->transportAdmitted(device, HostChannel::wifi);
        }
        // A device beyond its share of sessions loses its oldest ones.
        closeAll(sessionBudget.admit(keyOf(c), device.deviceID));
    }

    void connectionReceived(Connection&, std::span<const ControlMessage> messages,
                            const std::string& deviceID) override {
        if (auto e = events()) {
            e->transportReceived(messages, deviceID, HostChannel::wifi);
        }
    }

    void connectionPaired(Connection&, const PairedDevice& device) override {
        // The window is spent; its listener stays until the owner ends the window (it hears
        // transportPaired and calls endPairingIfSpent()).
        if (auto e = events()) {
            e->transportPaired(device);
        }
    }

    void connectionRefused(Connection& c, std::uint16_t code, const std::string& reason) override {
        if (auto e = events()) {
            TransportRefusal refusal;
            refusal.kind = TransportRefusal::Kind::refused;
            refusal.code = code;
            refusal.reason = reason;
            refusal.source = c.peerAddress();
            e->transportRefused(refusal);
        }
    }

    void connectionRead(Connection& c) override {
        // Announced frames held across all sessions stay within one budget.
        closeAll(sessionBudget.buffered(keyOf(c), c.session().bufferedBytes()));
    }

    void connectionClosed(Connection& c) override {
        auto it = connections.find(&c);
        if (it == connections.end()) {
            return;
        }
        auto entry = std::move(it->second);
        connections.erase(it);
        releaseSeat(entry);
        leaveWaitingRoom(entry);
        sessionBudget.remove(keyOf(c));
        // A device is connected while any of its sessions lives: only the close of its last
        // one is reported (and ends its heartbeat watch), so closing a second session does not
        // take the device, or the keys it holds, from under the first.
        if (const auto& deviceID = c.session().deviceID();
            deviceID && connectionsOf(*deviceID).empty()) {
            heartbeat.forget(*deviceID);
            if (auto e = events()) {
                e->transportClosed(*deviceID, HostChannel::wifi);
            }
        }
    }

    std::vector<std::shared_ptr<Connection>> connectionsOf(const std::string& deviceID) const {
        std::vector<std::shared_ptr<Connection>> found;
        for (const auto& [key, entry] : connections) {
            if (entry.connection->session().deviceID() == deviceID) {
                found.push_back(entry.connection);
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
                c->close();
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
        for (auto& [key, entry] : all) {
            releaseSeat(entry);
            leaveWaitingRoom(entry);
            sessionBudget.remove(keyOf(*entry.connection));
            entry.connection->closeQuietly();
        }
        closePairingListener();
        closeMainListener();
    }
};

TransportServer::TransportServer(std::shared_ptr<PairingStore> store,
                                 std::shared_ptr<platform::SerialQueue> io,
                                 TransportServerOptions options)
    : queue_(std::move(io)),
      impl_(std::make_shared<Impl>(std::move(store), std::move(options), *queue_)) {
    if (impl_->options.advertiser) {
        std::weak_ptr<Impl> weakImpl = impl_;
        std::weak_ptr<platform::SerialQueue> weakQueue = queue_;
        impl_->options.advertiser->setFailureHandler(
            [weakImpl, weakQueue](const std::string& description) {
                if (auto queue = weakQueue.lock()) {
                    queue->async([weakImpl, description] {
                        if (auto impl = weakImpl.lock()) {
                            impl->reportFailure(TransportError(description));
                        }
                    });
                }
            });
    }
}

TransportServer::~TransportServer() {
    if (impl_->options.advertiser) {
        impl_->options.advertiser->setFailureHandler({});
    }
    // The queue is shared and goes on: what is still queued for the server finds it gone (its
    // handlers hold it weakly) and its connections closed quietly.
    queue_->sync([impl = impl_] {
        impl->stopOnQueue();
        impl->pairingSession.close();
    });
    queue_->sync([this] { impl_.reset(); });
}

void TransportServer::setEvents(std::weak_ptr<TransportEvents> events) {
    std::lock_guard lock(impl_->eventsMutex);
    impl_->eventsRef = std::move(events);
}

void TransportServer::start() {
    const Bytes secret = impl_->store->hostSecret();
    const auto key = wire::PSKProvider::sessionKey(secret);
    auto ctx = std::make_shared<wire::SSLContextPtr>(wire::PSKParameters::make(
        key, wire::ServiceConstants::sessionIdentity, wire::PSKParameters::Role::server));
    auto signal = std::make_shared<ListenerReadySignal>();
    std::weak_ptr<Impl> weak = impl_;
    queue_->async([weak, ctx, signal] {
        auto impl = weak.lock();
        if (!impl) {
            return;
        }
        impl->openListener(
            SessionChannel::main, ctx, signal, [&](const std::shared_ptr<Listener>& l) {
                impl->closeMainListener(); // a second start() replaces the first listener
                impl->mainListener = l;
                impl->mainPortValue = l->acceptor->port();
                impl->publish(wire::ServiceConstants::bonjourType, l->acceptor->port(), {});
                if (impl->heartbeatTimer) {
                    impl->heartbeatTimer->cancel();
                }
                impl->heartbeatTimer = impl->queue.scheduleRepeating(
                    std::chrono::seconds(1), std::chrono::seconds(1), [weak] {
                        if (auto i = weak.lock()) {
                            i->heartbeatTick();
                        }
                    });
            });
    });
    signal->wait(impl_->options.readinessTimeout);
}

void TransportServer::stop() {
    queue_->sync([impl = impl_] {
        impl->stopOnQueue();
        impl->endPairingOnQueue();
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
    std::weak_ptr<Impl> weak = impl_;
    queue_->async([weak, ctx, signal, pin, salt, now] {
        auto impl = weak.lock();
        if (!impl) {
            return;
        }
        impl->openListener(
            SessionChannel::pairing, ctx, signal, [&](const std::shared_ptr<Listener>& l) {
                impl->closePairingListener();
                impl->pairingListener = l;
                impl->pairingPortValue = l->acceptor->port();
                impl->pairingSession.open(pin, salt, now);
                impl->pairingFailures.reset();
                impl->publish(wire::ServiceConstants::pairingBonjourType, l->acceptor->port(),
                              {{wire::ServiceConstants::saltTXTKey, wire::base64Encode(salt)}});
            });
    });
    signal->wait(impl_->options.readinessTimeout);
    return pin;
}

void TransportServer::endPairing() {
    queue_->sync([impl = impl_] { impl->endPairingOnQueue(); });
}

bool TransportServer::endPairingIfSpent() {
    bool ended = false;
    queue_->sync([&, impl = impl_] {
        if (!impl->pairingSession.isOpen()) {
            impl->endPairingOnQueue();
            ended = true;
        }
    });
    return ended;
}

void TransportServer::disconnect(const std::string& deviceID) {
    std::weak_ptr<Impl> weak = impl_;
    queue_->async([weak, deviceID] {
        if (auto impl = weak.lock()) {
            for (const auto& c : impl->connectionsOf(deviceID)) {
                c->close();
            }
        }
    });
}

void TransportServer::send(const ControlMessage& message, const std::string& deviceID) {
    std::weak_ptr<Impl> weak = impl_;
    queue_->async([weak, message, deviceID] {
        if (auto impl = weak.lock()) {
            for (const auto& c : impl->connectionsOf(deviceID)) {
                c->send(message);
            }
        }
    });
}

std::optional<std::uint16_t> TransportServer::mainPort() const {
    const int port = impl_->mainPortValue;
    return port < 0 ? std::nullopt : std::optional<std::uint16_t>(port);
}

std::optional<std::uint16_t> TransportServer::pairingPort() const {
    const int port = impl_->pairingPortValue;
    return port < 0 ? std::nullopt : std::optional<std::uint16_t>(port);
}

std::vector<std::string> TransportServer::connectedDeviceIDs() {
    std::vector<std::string> ids;
    queue_->sync([&, impl = impl_] {
        for (const auto& [key, entry] : impl->connections) {
            if (const auto& id = entry.connection->session().deviceID()) {
                ids.push_back(*id);
            }
        }
    });
    std::sort(ids.begin(), ids.end());
    return ids;
}

TransportServer::Statistics TransportServer::statistics() {
    Statistics stats;
    queue_->sync([&, impl = impl_] {
        stats.sessions = impl->connections.size();
        stats.pendingConnections = impl->mainWaiting.size() + impl->pairingWaiting.size();
        for (const auto& [key, entry] : impl->connections) {
            stats.bufferedBytes += entry.connection->bufferedBytes();
        }
    });
    return stats;
}

PairingSession::State TransportServer::pairingState() {
    PairingSession::State state = PairingSession::Idle{};
    queue_->sync([&, impl = impl_] { state = impl->pairingSession.state(); });
    return state;
}

} // namespace quillon
