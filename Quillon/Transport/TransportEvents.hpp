#pragma once

#include "Quillon/Pairing/PairedDevice.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace quillon {

// The two transports a tablet can reach the host over. The raw value is the text used in log
// lines and in the telemetry names "connect_wifi" / "connect_usb".
enum class HostChannel { wifi, usb };

const char* rawValue(HostChannel channel) noexcept;

// Exactly "wifi" or "usb"; nothing for any other text (case matters).
std::optional<HostChannel> hostChannelFromRaw(std::string_view raw) noexcept;

// A failure a transport reports: a listener or connection failure, a DNS-SD problem, a pairing
// window closed for too many wrong PINs. description() is meant for the user and is shown as it
// stands.
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

// A peer a transport turned away, for the people watching the host.
struct TransportRefusal {
    enum class Kind {
        wrongPIN, // a pairing handshake made without the PIN
        refused,  // a hello or pair request answered with an error
        // Connections closed for want of room among those waiting to prove themselves (a
        // flood, or more tablets at once than the budget holds): `count` of them on `listener`
        // since the last such report (the first at once, then at most one report per
        // interval), the last one not let in from `source` (empty when all were made room for).
        noRoom,
    };
    Kind kind = Kind::refused;
    HostChannel channel = HostChannel::wifi;
    std::uint16_t code = 0; // the error the peer was sent (refused)
    std::string reason;     // its text
    std::string source;     // the peer's address (Wi-Fi)
    std::size_t count = 1;  // noRoom
    std::string listener;   // noRoom: "main" or "pairing"
};

// How both transports report to the host. Calls arrive on the transport's I/O thread; a
// receiver must not block there (input is the exception: it is injected on that thread, in the
// order it came) and must not call the transports' synchronous operations from there.
class TransportEvents {
public:
    virtual ~TransportEvents() = default;
    // A hello was admitted on `channel`. Wi-Fi: the admission time is saved and helloAck is on
    // its way. USB: the record is reported as stored, and helloAck follows this call.
    virtual void transportAdmitted(const PairedDevice& device, HostChannel channel) = 0;
    // The messages of one read of an admitted session, in order, heartbeats left out; never
    // empty, and the span lives for the call only. A receiver that synthesises input flushes it
    // once, after the last one.
    virtual void transportReceived(std::span<const wire::ControlMessage> messages,
                                   const std::string& deviceID, HostChannel channel) = 0;
    // The last admitted session of a device on `channel` ended for any reason other than the
    // transport's stop(): a device with several sessions stays connected until all have ended.
    virtual void transportClosed(const std::string& deviceID, HostChannel channel) = 0;
    // A pairing completed and its record was saved; pairResult is already on its way. The
    // window is spent; its listener stays until the owner ends it (endPairingIfSpent()).
    virtual void transportPaired(const PairedDevice& device) {}
    // A peer was turned away (it already has its answer).
    virtual void transportRefused(const TransportRefusal& refusal) {}
    virtual void transportFailed(const TransportError& error) {}
};

} // namespace quillon
