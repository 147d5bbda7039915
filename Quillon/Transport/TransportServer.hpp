#pragma once

#include "Quillon/Pairing/PairedDevice.hpp"
#include "Quillon/Pairing/PairingSession.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "Quillon/Transport/ConnectionAdmission.hpp"
#include "Quillon/Transport/PairingFailureCounter.hpp"
#include "Quillon/Transport/ReplyQueue.hpp"
#include "Quillon/Transport/SessionBudget.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace quillon::platform {
class DisplayGeometry;
class SerialQueue;
class ServiceAdvertiser;
} // namespace quillon::platform

namespace quillon {

// An error the server reports to its delegate: a listener or connection failure, a DNS-SD
// problem, a pairing window closed for too many wrong PINs. description() is meant for the user
// and is shown as it stands.
class TransportError {
public:
    explicit TransportError(std::string description, std::error_code code = {})
        : description_(std::move(description)), code_(code) {}
    const std::string& description() const noexcept { return description_; }
    // The system or TLS error behind it, when there is one.
    std::error_code code() const noexcept { return code_; }

private:
    std::string description_;
    std::error_code code_;
};

// Thrown by start() and beginPairing() when a listener does not come up.
class TransportServerError : public std::exception {
public:
    enum class Kind { listenerFailed, listenerTimedOut };

    static TransportServerError listenerFailed(TransportError error) {
        return TransportServerError(Kind::listenerFailed, std::move(error));
    }
    static TransportServerError listenerTimedOut() {
        return TransportServerError(Kind::listenerTimedOut, std::nullopt);
    }

    Kind kind() const noexcept { return kind_; }
    // The listener's own error (listenerFailed only).
    const std::optional<TransportError>& underlying() const noexcept { return underlying_; }
    const std::string& description() const noexcept { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    TransportServerError(Kind kind, std::optional<TransportError> underlying);
    Kind kind_;
    std::optional<TransportError> underlying_;
    std::string text_;
};

// A peer the server turned away, for the people watching the host.
struct TransportRefusal {
    enum class Kind {
        wrongPIN, // a pairing handshake made without the PIN
        refused,  // a hello or pair request answered with an error
        // Connections closed for want of room among those waiting to prove themselves (a
        // flood, or more tablets at once than the budget holds): `count` of them on `channel`
        // since the last such report (the first at once, then at most one report per
        // turnedAwayReportInterval), the last one not let in from `source` (empty when all
        // were made room for).
        noRoom,
    };
    Kind kind = Kind::refused;
    std::uint16_t code = 0; // the error the peer was sent (refused)
    std::string reason;     // its text
    std::string source;     // the peer's address
    std::size_t count = 1;  // noRoom
    std::string channel;    // noRoom: "main" or "pairing"
};

// Receives every event of the server, always on the server's queue. Must not block it and must
// not call the server's synchronous operations from there.
class TransportServerDelegate {
public:
    virtual ~TransportServerDelegate() = default;
    // A main-channel hello was admitted (lastSeenAt = admission time); helloAck is already on
    // its way.
    virtual void didAccept(const PairedDevice& device) = 0;
    // Any message of an admitted session except heartbeat.
    virtual void didReceive(const wire::ControlMessage& message, const std::string& deviceID) = 0;
    // The messages of one socket read of an admitted session, in order (never empty; the span
    // lives for the call only). A receiver that synthesises input ends its burst after the last
    // one, so a burst of frames is flushed to the display server once. By default each goes to
    // didReceive.
    virtual void didReceiveBurst(std::span<const wire::ControlMessage> messages,
                                 const std::string& deviceID) {
        for (const auto& message : messages) {
            didReceive(message, deviceID);
        }
    }
    // The last admitted session of a device closed for any reason other than stop(): a device
    // with several sessions stays connected until all of them have closed.
    virtual void didDisconnect(const std::string& deviceID) = 0;
    // A pairing completed and its record was saved; pairResult is already on its way. The
    // window is spent; its listener stays until the owner ends it (endPairingIfSpent()).
    virtual void didPair(const PairedDevice& device) = 0;
    virtual void didFail(const TransportError& error) = 0;
    // A peer was turned away (it already has its answer).
    virtual void didRefuse(const TransportRefusal& refusal) {}
};

struct TransportServerOptions {
    // The display whose geometry helloAck reports; none means no display (0 x 0, scale 2.0).
    std::shared_ptr<platform::DisplayGeometry> display;
    // Seconds on the system clock; the real clock when empty.
    std::function<double()> clock;
    // DNS-SD publisher. When none is given and `advertise` holds, the server makes an avahi
    // one; with `advertise` false nothing is advertised (the listeners still run).
    std::shared_ptr<platform::ServiceAdvertiser> advertiser;
    bool advertise = true;
    // Service name of both advertisements; the machine's pretty host name when empty.
    std::string serviceName;
    // The main listener's TCP port, 0 for one the system picks; a fixed one puts the pairing
    // listener on the next port (so that one firewall rule covers both).
    std::uint16_t port = 0;

    std::chrono::milliseconds readinessTimeout{5000};
    // Limits on connections that have not proved anything yet.
    std::chrono::milliseconds handshakeTimeout{10000};
    std::chrono::milliseconds firstFrameTimeout{10000};
    // Connections waiting to prove themselves, per listener: when a table is full the one that
    // has shown least, from the source holding most, makes room (see ConnectionAdmission). One
    // waiting connection at its worst (TLS done, a 64 KiB pre-admission frame buffered) costs
    // about 225 KiB measured with both ends in one process (bench/SoakBench), so the two
    // budgets pin at most about 18 MiB and 80 descriptors; in return a real client's hello
    // rarely waits behind a flood.
    ConnectionAdmission::Budget mainWaiting{64, 8};
    ConnectionAdmission::Budget pairingWaiting{16, 4};
    // Connections turned away for want of room are told to the delegate (noRoom) at once, then
    // summed up at most once per this interval.
    std::chrono::milliseconds turnedAwayReportInterval{10000};
    std::uint32_t preAdmissionFrameLimit = 65536;
    // Wrong PINs per source before the source is shut out of the window, and in all before the
    // window closes.
    PairingFailureCounter::Limits pairingFailures{3, 10};
    // Replies a peer has not taken: beyond this it is disconnected (one reply always fits).
    ReplyQueue::Limits replies{8u << 20, 4096};
    // Sessions per device and bytes of incomplete frames held across admitted sessions.
    SessionBudget::Limits sessions{4, 64u * 1024, 16u << 20};
};

// The network transport: a TLS 1.3 PSK main listener keyed by the host secret, a pairing
// listener keyed by a PIN and salt while a pairing window is open, the connections on both (a
// TLS engine under a Session each), and the heartbeat check. Every listener, connection, timer and
// delegate event runs on one serial queue
// ("quillon-net"). The public operations are for the owner's thread (never that
// queue).
class TransportServer {
public:
    explicit TransportServer(std::shared_ptr<PairingStore> store,
                             TransportServerOptions options = {});
    ~TransportServer();
    TransportServer(const TransportServer&) = delete;
    TransportServer& operator=(const TransportServer&) = delete;

    void setDelegate(std::weak_ptr<TransportServerDelegate> delegate);
    std::weak_ptr<TransportServerDelegate> delegate() const;

    // Throws the store's error or TransportServerError. Blocks up to the readiness timeout.
    void start();
    // Closes every session without reporting didDisconnect, both listeners and the pairing
    // window, in one trip to the server's queue.
    void stop();
    // Opens a pairing window at `now` with a new PIN and salt; returns the PIN.
    std::string beginPairing(double now);
    // Closes the pairing window and its listener, whatever their state.
    void endPairing();
    // Closes the pairing listener when its window is no longer open (it paired a device,
    // expired or was closed by wrong PINs) and returns true; a window that is open (one opened
    // again since) stays, and false comes back. The owner calls it when it hears didPair.
    bool endPairingIfSpent();

    void disconnect(const std::string& deviceID);
    void send(const wire::ControlMessage& message, const std::string& deviceID);

    std::optional<std::uint16_t> mainPort() const;
    std::optional<std::uint16_t> pairingPort() const;
    // One entry per admitted session, sorted.
    std::vector<std::string> connectedDeviceIDs();

    // For tests and diagnostics.
    struct Statistics {
        std::size_t sessions = 0;
        std::size_t pendingConnections = 0; // waiting for a handshake or a first frame
        std::size_t bufferedBytes = 0;      // received and not yet handled, all sessions
    };
    Statistics statistics();
    PairingSession::State pairingState();

    struct Core;

private:
    std::shared_ptr<platform::SerialQueue> queue_;
    std::shared_ptr<Core> core_;
};

} // namespace quillon
