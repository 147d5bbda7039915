#include "Quillon/Transport/TransportServer.hpp"

#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Display/DisplayGeometry.hpp"
#include "Platform/EventStream/EventPoster.hpp"
#include "Quillon/Pairing/SessionGatekeeper.hpp"
#include "Quillon/Transport/HeartbeatMonitor.hpp"
#include "WireProtocol/Frame.hpp"
#include "WireProtocol/PSKParameters.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <future>
#include <limits>
#include <map>
#include <mutex>
#include <variant>

namespace quillon {

using wire::Bytes;
using wire::ByteView;
using wire::ControlMessage;

TransportServerError::TransportServerError(Kind kind, std::optional<TransportError> underlying)
    : kind_(kind), underlying_(std::move(underlying)) {
    text_ = kind_ == Kind::listenerFailed ? underlying_->description()
                                          : std::string("监听未能在 5 秒内就绪");
}

namespace {

constexpr std::size_t kReceiveChunk = 65536;
// While this much output waits for a peer that does not read, its input is not read either:
// its requests cannot pile up replies without bound.
constexpr std::size_t kOutputBackpressure = 1 << 20;
constexpr const char* kPairWindowClosedMessage = "配对窗口已关闭";
constexpr const char* kPairSaveFailedMessage = "保存配对记录失败";
constexpr const char* kTooManyWrongPINs = "配对码连续输错 3 次，配对窗口已关闭，请重新开始配对";

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

struct Listener {
    Listener(asio::io_context& io, wire::SSLContextPtr context, bool pairing)
        : acceptor(io), retry(io), ctx(std::move(context)), isPairing(pairing) {}
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retry;
    wire::SSLContextPtr ctx;
    bool isPairing;
    bool closed = false;
    std::uint16_t port = 0;
};

struct Session {
    explicit Session(asio::io_context& io) : socket(io), deadline(io) {}
    ~Session() {
        if (ssl != nullptr) {
            SSL_free(ssl); // frees both memory BIOs
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    asio::ip::tcp::socket socket;
    asio::steady_timer deadline;
    SSL* ssl = nullptr;
    BIO* rbio = nullptr; // ciphertext from the peer
    BIO* wbio = nullptr; // ciphertext for the peer
    wire::FrameDecoder decoder;
    std::optional<std::string> deviceID;
    bool isPairingChannel = false;
    bool handshakeDone = false;
    bool pending = true;  // counted against the limits for connections that proved nothing yet
    bool refused = false; // a refusal is on its way; later frames are ignored
    bool cancelled = false;
    bool readPaused = false;
    bool writing = false;
    std::string peerAddress;
    Bytes outgoing; // ciphertext not yet handed to the socket
    Bytes inFlight; // ciphertext of the write in progress
    std::vector<std::function<void()>> inFlightDone;
    std::vector<std::function<void()>> queuedDone;
};

} // namespace

struct TransportServer::Core : std::enable_shared_from_this<TransportServer::Core> {
    Core(std::shared_ptr<PairingStore> s, TransportServerOptions o, platform::SerialQueue& q)
        : store(std::move(s)), options(std::move(o)), queue(q), io(q.context()),
          readBuffer(kReceiveChunk), plainBuffer(kReceiveChunk) {
        if (!options.clock) {
            options.clock = systemNow;
        }
    }

    std::shared_ptr<PairingStore> store;
    TransportServerOptions options;
    platform::SerialQueue& queue;
    std::weak_ptr<platform::SerialQueue> queueRef; // for work posted from other threads
    asio::io_context& io;

    mutable std::mutex delegateMutex;
    std::weak_ptr<TransportServerDelegate> delegateRef;

    // Queue-confined state.
    std::map<Session*, std::shared_ptr<Session>> sessions;
    std::shared_ptr<Listener> mainListener;
    std::shared_ptr<Listener> pairingListener;
    PairingSession pairingSession;
    std::uint64_t pairingGeneration = 0;
    HeartbeatMonitor heartbeat;
    std::shared_ptr<platform::TimerHandle> heartbeatTimer;
    std::size_t pendingCount = 0;
    std::map<std::string, std::size_t> pendingPerAddress;
    std::vector<std::uint8_t> readBuffer;
    std::vector<std::uint8_t> plainBuffer;
    std::string serviceName;

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

    // ---- listeners ----

    // On the queue: binds a listener on [::] (IPv4 too) or, without IPv6, on 0.0.0.0.
    void openListener(bool pairing, std::shared_ptr<wire::SSLContextPtr> ctx,
                      const std::shared_ptr<ListenerReadySignal>& signal,
                      const std::function<void(const std::shared_ptr<Listener>&)>& onReady) {
        auto listener = std::make_shared<Listener>(io, std::move(*ctx), pairing);
        std::error_code ec = bindListener(*listener);
        if (ec) {
            TransportError error("无法监听 TCP 端口：" + ec.message(), ec);
            signal->resolve(TransportServerError::listenerFailed(error));
            reportFailure(error);
            return;
        }
        if (!signal->claim()) {
            // The caller gave up waiting: this listener is nobody's.
            closeListener(listener);
            return;
        }
        onReady(listener);
        acceptNext(listener);
        signal->resolve(listener->port);
    }

    static std::error_code bindListener(Listener& l) {
        std::error_code ec;
        auto& a = l.acceptor;
        a.open(asio::ip::tcp::v6(), ec);
        if (!ec) {
            a.set_option(asio::ip::v6_only(false), ec);
            if (!ec) {
                a.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v6(), 0), ec);
            }
            if (ec) {
                std::error_code ignored;
                a.close(ignored);
            }
        }
        if (ec || !a.is_open()) {
            ec.clear();
            a.open(asio::ip::tcp::v4(), ec);
            if (ec) {
                return ec;
            }
            a.bind(asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0), ec);
            if (ec) {
                return ec;
            }
        }
        a.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            return ec;
        }
        wire::PSKParameters::configureSocket(a.native_handle());
        const auto endpoint = a.local_endpoint(ec);
        if (ec) {
            return ec;
        }
        l.port = endpoint.port();
        return {};
    }

    void closeListener(const std::shared_ptr<Listener>& l) {
        if (!l || l->closed) {
            return;
        }
        l->closed = true;
        std::error_code ignored;
        l->retry.cancel();
        l->acceptor.close(ignored);
    }

    void closePairingListener() {
        if (pairingListener) {
            closeListener(pairingListener);
            pairingListener.reset();
            pairingPortValue = -1;
            if (options.advertiser) {
                options.advertiser->withdraw(wire::ServiceConstants::pairingBonjourType);
            }
        }
    }

    void closeMainListener() {
        if (mainListener) {
            closeListener(mainListener);
            mainListener.reset();
            mainPortValue = -1;
            if (options.advertiser) {
                options.advertiser->withdraw(wire::ServiceConstants::bonjourType);
            }
        }
    }

    void acceptNext(const std::shared_ptr<Listener>& l) {
        std::weak_ptr<Core> weak = weak_from_this();
        l->acceptor.async_accept([weak, l](std::error_code ec, asio::ip::tcp::socket socket) {
            auto core = weak.lock();
            if (!core || l->closed) {
                return;
            }
            if (ec) {
                core->acceptFailed(l, ec);
                return;
            }
            core->accept(l, std::move(socket));
            core->acceptNext(l);
        });
    }

    void acceptFailed(const std::shared_ptr<Listener>& l, std::error_code ec) {
        if (ec == asio::error::operation_aborted) {
            return;
        }
        if (ec != asio::error::connection_aborted) {
            reportFailure(TransportError("接受连接失败：" + ec.message(), ec));
        }
        // Out of descriptors or memory: try again shortly instead of spinning.
        std::weak_ptr<Core> weak = weak_from_this();
        l->retry.expires_after(std::chrono::milliseconds(100));
        l->retry.async_wait([weak, l](std::error_code waitError) {
            auto core = weak.lock();
            if (core && !waitError && !l->closed) {
                core->acceptNext(l);
            }
        });
    }

    // ---- sessions ----

    void accept(const std::shared_ptr<Listener>& l, asio::ip::tcp::socket socket) {
        std::error_code ec;
        const std::string address = peerAddressOf(socket);
        if (pendingCount >= options.maxPendingConnections ||
            pendingPerAddress[address] >= options.maxPendingPerAddress) {
            if (pendingPerAddress[address] == 0) {
                pendingPerAddress.erase(address);
            }
            socket.close(ec); // refused at once
            return;
        }
        socket.non_blocking(true, ec);
        if (ec) {
            return;
        }
        wire::PSKParameters::configureSocket(socket.native_handle());

        auto s = std::make_shared<Session>(io);
        s->socket = std::move(socket);
        s->isPairingChannel = l->isPairing;
        s->peerAddress = address;
        s->ssl = SSL_new(l->ctx.get());
        s->rbio = BIO_new(BIO_s_mem());
        s->wbio = BIO_new(BIO_s_mem());
        if (s->ssl == nullptr || s->rbio == nullptr || s->wbio == nullptr) {
            BIO_free(s->rbio);
            BIO_free(s->wbio);
            s->rbio = s->wbio = nullptr;
            ERR_clear_error();
            return; // out of memory: the socket closes with the session
        }
        // An empty memory BIO reports "retry" rather than end of file.
        BIO_set_mem_eof_return(s->rbio, -1);
        SSL_set_bio(s->ssl, s->rbio, s->wbio);
        SSL_set_accept_state(s->ssl);

        sessions.emplace(s.get(), s);
        ++pendingCount;
        ++pendingPerAddress[address];
        armDeadline(s, options.handshakeTimeout);
        waitReadable(s);
    }

    void armDeadline(const std::shared_ptr<Session>& s, std::chrono::milliseconds after) {
        std::weak_ptr<Core> weak = weak_from_this();
        s->deadline.expires_after(after);
        s->deadline.async_wait([weak, s](std::error_code ec) {
            auto core = weak.lock();
            if (core && !ec && s->pending) {
                core->cancel(s);
            }
        });
    }

    void releasePending(Session& s) {
        if (!s.pending) {
            return;
        }
        s.pending = false;
        --pendingCount;
        auto it = pendingPerAddress.find(s.peerAddress);
        if (it != pendingPerAddress.end() && --it->second == 0) {
            pendingPerAddress.erase(it);
        }
        s.deadline.cancel();
    }

    bool isLive(const std::shared_ptr<Session>& s) const {
        return !s->cancelled && sessions.count(s.get()) != 0;
    }

    void waitReadable(const std::shared_ptr<Session>& s) {
        std::weak_ptr<Core> weak = weak_from_this();
        s->socket.async_wait(asio::socket_base::wait_read, [weak, s](std::error_code ec) {
            auto core = weak.lock();
            if (!core) {
                return;
            }
            if (ec) {
                core->closeSession(s);
                return;
            }
            core->onReadable(s);
        });
    }

    // One receive of at most 64 KiB, everything in it handled, then the next receive.
    void onReadable(const std::shared_ptr<Session>& s) {
        if (!isLive(s)) {
            return;
        }
        std::error_code ec;
        const std::size_t n = s->socket.read_some(asio::buffer(readBuffer), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            waitReadable(s);
            return;
        }
        if (ec || n == 0) {
            closeSession(s); // end of stream or receive error
            return;
        }
        BIO_write(s->rbio, readBuffer.data(), static_cast<int>(n));
        if (!s->handshakeDone && !advanceHandshake(s)) {
            return;
        }
        if (s->handshakeDone && !readPlaintext(s)) {
            return;
        }
        flushOutgoing(s);
        if (!isLive(s)) {
            return;
        }
        if (s->outgoing.size() + s->inFlight.size() > kOutputBackpressure) {
            s->readPaused = true;
        } else {
            waitReadable(s);
        }
    }

    // False when the session ended.
    bool advanceHandshake(const std::shared_ptr<Session>& s) {
        ERR_clear_error();
        const int r = SSL_do_handshake(s->ssl);
        if (r == 1) {
            s->handshakeDone = true;
            if (s->isPairingChannel) {
                releasePending(*s); // holds the PIN: trusted to send its request
            } else {
                armDeadline(s, options.firstFrameTimeout);
            }
            flushOutgoing(s);
            return isLive(s);
        }
        const int error = SSL_get_error(s->ssl, r);
        if (error == SSL_ERROR_WANT_READ) {
            flushOutgoing(s);
            return true;
        }
        const unsigned long code = ERR_peek_error();
        ERR_clear_error();
        if (s->isPairingChannel && ERR_GET_LIB(code) == ERR_LIB_SSL &&
            ERR_GET_REASON(code) == SSL_R_BINDER_DOES_NOT_VERIFY) {
            wrongPIN();
        }
        flushOutgoing(s); // the alert, best effort
        cancel(s);
        return false;
    }

    // A peer on the pairing listener proved it does not hold the PIN.
    void wrongPIN() {
        const double now = options.clock();
        pairingSession.prune(now);
        if (!pairingSession.isOpen()) {
            return;
        }
        pairingSession.recordFailure(now);
        if (!pairingSession.isOpen()) {
            closePairingListener();
            reportFailure(TransportError(kTooManyWrongPINs));
        }
    }

    bool readPlaintext(const std::shared_ptr<Session>& s) {
        for (;;) {
            ERR_clear_error();
            const int r =
                SSL_read(s->ssl, plainBuffer.data(), static_cast<int>(plainBuffer.size()));
            if (r > 0) {
                s->decoder.append(ByteView(plainBuffer.data(), static_cast<std::size_t>(r)));
                drainFrames(s);
                if (!isLive(s)) {
                    return false;
                }
                continue;
            }
            const int error = SSL_get_error(s->ssl, r);
            if (error == SSL_ERROR_WANT_READ) {
                return true;
            }
            ERR_clear_error();
            closeSession(s); // close_notify or a broken record
            return false;
        }
    }

    void drainFrames(const std::shared_ptr<Session>& s) {
        platform::EventBatch batch; // one flush of synthesised input for the whole burst
        while (isLive(s)) {
            const std::uint32_t limit =
                s->deviceID ? wire::FrameCodec::maxPayloadSize : options.preAdmissionFrameLimit;
            std::optional<wire::FrameView> frame;
            try {
                frame = s->decoder.nextFrameView(limit);
            } catch (const wire::FrameDecodeError& e) {
                if (e.kind() == wire::FrameDecodeError::Kind::unknownMessageType) {
                    continue;
                }
                cancel(s);
                return;
            }
            if (!frame) {
                return;
            }
            handleFrame(*frame, s);
        }
    }

    // ---- message handling ----

    void handleFrame(const wire::FrameView& frame, const std::shared_ptr<Session>& s) {
        if (s->refused) {
            return;
        }
        std::optional<ControlMessage> decoded;
        try {
            decoded.emplace(ControlMessage::decode(frame));
        } catch (const std::exception&) {
            return; // dropped: no reply, no event
        }
        const ControlMessage& message = *decoded;
        if (s->pending) {
            releasePending(*s);
        }
        const double now = options.clock();

        if (s->isPairingChannel) {
            if (const auto* request = message.getIf<wire::cm::PairRequest>()) {
                handlePairRequest(request->deviceName, s, now);
            }
            return;
        }
        if (s->deviceID) {
            const std::string deviceID = *s->deviceID;
            heartbeat.record(deviceID, now);
            if (message.is<wire::cm::Heartbeat>()) {
                sendFrame(wire::cm::HeartbeatAck{}, s);
            } else if (auto d = delegate()) {
                d->didReceive(message, deviceID);
            }
            return;
        }

        SessionAdmission admission = SessionGatekeeper::admit(message, *store, now);
        if (const auto* rejected = std::get_if<SessionAdmission::Rejected>(&admission.value)) {
            refuse(s, rejected->code, rejected->reason);
            return;
        }
        const PairedDevice device = std::get<SessionAdmission::Accepted>(admission.value).device;
        s->deviceID = device.deviceID;
        try {
            store->save(device);
        } catch (...) {
            // Only lastSeenAt would be lost; admission does not depend on it.
        }
        heartbeat.record(device.deviceID, now);
        sendFrame(screenInfo(), s);
        if (auto d = delegate()) {
            d->didAccept(device);
        }
    }

    void refuse(const std::shared_ptr<Session>& s, std::uint16_t code, std::string reason) {
        s->refused = true;
        std::weak_ptr<Core> weak = weak_from_this();
        sendFrame(wire::cm::Error{code, std::move(reason)}, s, [weak, s] {
            if (auto core = weak.lock()) {
                core->cancel(s);
            }
        });
    }

    void handlePairRequest(const std::string& deviceName, const std::shared_ptr<Session>& s,
                           double now) {
        pairingSession.prune(now);
        if (!pairingSession.activeCredential(now)) {
            refuse(s, 408, kPairWindowClosedMessage);
            return;
        }
        PairedDevice device;
        device.deviceID = wire::PSKProvider::randomUUIDString();
        device.token = wire::PSKProvider::randomBytes(wire::ServiceConstants::tokenByteCount);
        device.deviceName = deviceName;
        device.pairedAt = now;
        Bytes secret;
        try {
            store->save(device);
            secret = store->hostSecret();
        } catch (...) {
            refuse(s, 500, kPairSaveFailedMessage); // the window stays open
            return;
        }
        sendFrame(wire::cm::PairResult{true, device.deviceID, device.token, std::move(secret)}, s);
        pairingSession.recordSuccess();
        if (auto d = delegate()) {
            d->didPair(device);
        }
        // The pairing listener goes from the owner's thread. A window opened again meanwhile is
        // a new window and stays.
        const std::uint64_t generation = pairingGeneration;
        std::weak_ptr<Core> weak = weak_from_this();
        platform::mainQueue().post([weak, generation] {
            auto core = weak.lock();
            auto queue = core ? core->queueRef.lock() : nullptr;
            if (queue) {
                queue->sync([&] {
                    if (core->pairingGeneration == generation) {
                        core->endPairingOnQueue();
                    }
                });
            }
        });
    }

    wire::cm::HelloAck screenInfo() const {
        if (!options.display) {
            return {0, 0, 2.0F};
        }
        const auto bounds = options.display->mainBounds();
        return {truncatedDimension(bounds.width), truncatedDimension(bounds.height),
                static_cast<float>(options.display->backingScale())};
    }

    // ---- sending and closing ----

    void sendFrame(const ControlMessage& message, const std::shared_ptr<Session>& s,
                   std::function<void()> done = {}) {
        if (!isLive(s)) {
            return;
        }
        Bytes bytes;
        const wire::Frame frame = message.encode();
        wire::FrameCodec::encodeInto(bytes, frame.type, frame.payload);
        ERR_clear_error();
        if (SSL_write(s->ssl, bytes.data(), static_cast<int>(bytes.size())) <= 0) {
            ERR_clear_error();
            cancel(s);
            return;
        }
        if (done) {
            s->queuedDone.push_back(std::move(done));
        }
        flushOutgoing(s);
    }

    void collectCiphertext(Session& s) {
        const std::size_t pending = BIO_ctrl_pending(s.wbio);
        if (pending == 0) {
            return;
        }
        const std::size_t offset = s.outgoing.size();
        s.outgoing.resize(offset + pending);
        const int n = BIO_read(s.wbio, s.outgoing.data() + offset, static_cast<int>(pending));
        s.outgoing.resize(offset + static_cast<std::size_t>(std::max(n, 0)));
    }

    void flushOutgoing(const std::shared_ptr<Session>& s) {
        collectCiphertext(*s);
        if (s->writing || s->cancelled) {
            return;
        }
        if (!s->outgoing.empty()) {
            // Hand the bytes to the kernel now: replies leave before anything that follows
            // them (didAccept after helloAck) and without a trip through the reactor. Whatever
            // does not fit goes through an asynchronous write; errors surface there too.
            std::error_code ec;
            const std::size_t n = s->socket.write_some(asio::buffer(s->outgoing), ec);
            if (!ec) {
                s->outgoing.erase(s->outgoing.begin(),
                                  s->outgoing.begin() + static_cast<std::ptrdiff_t>(n));
            }
        }
        if (s->outgoing.empty()) {
            runCompletions(s->queuedDone);
            return;
        }
        s->writing = true;
        s->inFlight.swap(s->outgoing);
        s->outgoing.clear();
        s->inFlightDone.swap(s->queuedDone);
        std::weak_ptr<Core> weak = weak_from_this();
        asio::async_write(s->socket, asio::buffer(s->inFlight),
                          [weak, s](std::error_code ec, std::size_t) {
                              auto core = weak.lock();
                              if (!core) {
                                  return;
                              }
                              core->writeFinished(s, ec);
                          });
    }

    static void runCompletions(std::vector<std::function<void()>>& completions) {
        auto list = std::move(completions);
        completions.clear();
        for (auto& f : list) {
            f();
        }
    }

    void writeFinished(const std::shared_ptr<Session>& s, std::error_code ec) {
        s->writing = false;
        s->inFlight.clear();
        runCompletions(s->inFlightDone); // processed, whether or not it went out
        if (ec) {
            runCompletions(s->queuedDone);
            closeSession(s);
            return;
        }
        if (!isLive(s)) {
            return;
        }
        flushOutgoing(s);
        if (s->readPaused && s->outgoing.size() + s->inFlight.size() <= kOutputBackpressure) {
            s->readPaused = false;
            waitReadable(s);
        }
    }

    // Ends the connection; the session is closed when the cancellation comes back.
    void cancel(const std::shared_ptr<Session>& s) {
        if (s->cancelled) {
            return;
        }
        s->cancelled = true;
        s->deadline.cancel();
        if (s->handshakeDone && s->ssl != nullptr) {
            // Best effort close_notify, so a well-behaved peer sees an orderly end.
            ERR_clear_error();
            SSL_shutdown(s->ssl);
            ERR_clear_error();
            collectCiphertext(*s);
            if (!s->writing && !s->outgoing.empty()) {
                std::error_code ignored;
                s->socket.write_some(asio::buffer(s->outgoing), ignored);
            }
        }
        std::error_code ignored;
        s->socket.shutdown(asio::socket_base::shutdown_both, ignored);
        s->socket.close(ignored);
        std::weak_ptr<Core> weak = weak_from_this();
        asio::post(io, [weak, s] {
            if (auto core = weak.lock()) {
                core->closeSession(s);
            }
        });
    }

    void closeSession(const std::shared_ptr<Session>& s) {
        auto it = sessions.find(s.get());
        if (it == sessions.end()) {
            return;
        }
        sessions.erase(it);
        releasePending(*s);
        if (!s->cancelled) {
            s->cancelled = true;
            s->deadline.cancel();
            std::error_code ignored;
            s->socket.close(ignored);
        }
        if (s->deviceID) {
            heartbeat.forget(*s->deviceID);
            if (auto d = delegate()) {
                d->didDisconnect(*s->deviceID);
            }
        }
    }

    std::vector<std::shared_ptr<Session>> sessionsOf(const std::string& deviceID) const {
        std::vector<std::shared_ptr<Session>> found;
        for (const auto& [key, s] : sessions) {
            if (s->deviceID == deviceID) {
                found.push_back(s);
            }
        }
        return found;
    }

    void heartbeatTick() {
        const double now = options.clock();
        pairingSession.prune(now);
        for (const auto& deviceID : heartbeat.prune(now)) {
            for (const auto& s : sessionsOf(deviceID)) {
                closeSession(s);
            }
        }
    }

    void endPairingOnQueue() {
        closePairingListener();
        pairingSession.close();
        ++pairingGeneration;
    }

    // Everything closed, nothing reported.
    void stopOnQueue() {
        if (heartbeatTimer) {
            heartbeatTimer->cancel();
            heartbeatTimer.reset();
        }
        auto all = std::move(sessions);
        sessions.clear();
        for (auto& [key, s] : all) {
            releasePending(*s);
            cancel(s);
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

TransportServer::TransportServer(std::shared_ptr<PairingStore> store,
                                 TransportServerOptions options)
    : queue_(std::make_shared<platform::SerialQueue>("com.corvane.transport")),
      core_(std::make_shared<Core>(std::move(store), std::move(options), *queue_)) {
    core_->queueRef = queue_;
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
        core->openListener(false, ctx, signal, [&](const std::shared_ptr<Listener>& l) {
            core->closeMainListener(); // a second start() replaces the first listener
            core->mainListener = l;
            core->mainPortValue = l->port;
            core->publish(wire::ServiceConstants::bonjourType, l->port, {});
            if (core->heartbeatTimer) {
                core->heartbeatTimer->cancel();
            }
            core->heartbeatTimer = core->queue.scheduleRepeating(std::chrono::seconds(1),
                                                                 std::chrono::seconds(1), [weak] {
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
        core->openListener(true, ctx, signal, [&](const std::shared_ptr<Listener>& l) {
            core->closePairingListener();
            core->pairingListener = l;
            core->pairingPortValue = l->port;
            core->pairingSession.open(pin, salt, now);
            ++core->pairingGeneration;
            core->publish(wire::ServiceConstants::pairingBonjourType, l->port,
                          {{wire::ServiceConstants::saltTXTKey, wire::base64Encode(salt)}});
        });
    });
    signal->wait(core_->options.readinessTimeout);
    return pin;
}

void TransportServer::endPairing() {
    queue_->sync([core = core_] { core->endPairingOnQueue(); });
}

void TransportServer::disconnect(const std::string& deviceID) {
    std::weak_ptr<Core> weak = core_;
    queue_->async([weak, deviceID] {
        if (auto core = weak.lock()) {
            for (const auto& s : core->sessionsOf(deviceID)) {
                core->cancel(s);
            }
        }
    });
}

void TransportServer::send(const ControlMessage& message, const std::string& deviceID) {
    std::weak_ptr<Core> weak = core_;
    queue_->async([weak, message, deviceID] {
        if (auto core = weak.lock()) {
            for (const auto& s : core->sessionsOf(deviceID)) {
                core->sendFrame(message, s);
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
        for (const auto& [key, s] : core->sessions) {
            if (s->deviceID) {
                ids.push_back(*s->deviceID);
            }
        }
    });
    std::sort(ids.begin(), ids.end());
    return ids;
}

TransportServer::Statistics TransportServer::statistics() {
    Statistics stats;
    queue_->sync([&, core = core_] {
        stats.sessions = core->sessions.size();
        stats.pendingConnections = core->pendingCount;
        for (const auto& [key, s] : core->sessions) {
            stats.bufferedBytes += s->decoder.bufferedBytes() + BIO_ctrl_pending(s->rbio) +
                                   s->outgoing.size() + s->inFlight.size();
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
