#pragma once

#include "Platform/Usbmux/USBMuxClient.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "Quillon/Transport/ReplyQueue.hpp"
#include "Quillon/Transport/TransportEvents.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quillon {

namespace platform {
class DisplayGeometry;
class SerialQueue;
class TimerHandle;
} // namespace platform

class Connection;

struct USBTransportOptions {
    // Where usbmuxd is and how long an exchange with it may take.
    platform::usbmux::USBMuxClient::Options mux;
    // The display whose geometry helloAck reports; none means no display (0 x 0, scale 2.0).
    std::shared_ptr<platform::DisplayGeometry> display;
    std::chrono::nanoseconds pollInterval = std::chrono::seconds(2);
    // The cable's reply budget: what may wait for a tablet that does not read, and how long a
    // pending reply may go without a byte taken before the connection is dropped.
    ReplyQueue::Limits replies{8u << 20, 4096};
    std::chrono::milliseconds writeStallLimit{3000};
    // The diagnostics log; the real one when empty.
    std::function<void(std::string_view)> log;
};

// The USB transport. It polls usbmuxd on its own thread ("quillon-usb", at once on start, then
// every two seconds), the one thread of all of USB: the daemon's exchanges block, for as long as
// its timeout at worst, and they never hold the cable's bytes up. While a USB-attached device is
// listed, someone is paired and no cable connection runs, it connects to the first listed
// device's service port and runs a Connection over the stream on the I/O queue it shares with
// the network transport (so a cable adds no thread): the frames and messages are the Wi-Fi ones
// under the cable's session rules, with the same reply budget. Admission is the session's hello
// check, so a refused tablet is simply tried again at the next poll.
//
// start(), stop() and send() only queue work and may be called from any thread. Events arrive
// on the I/O queue, through the same TransportEvents as the network's (channel usb).
class USBTransportManager : public std::enable_shared_from_this<USBTransportManager> {
public:
    static std::shared_ptr<USBTransportManager> create(std::shared_ptr<PairingStore> store,
                                                       std::shared_ptr<platform::SerialQueue> io,
                                                       USBTransportOptions options = {});
    ~USBTransportManager();
    USBTransportManager(const USBTransportManager&) = delete;
    USBTransportManager& operator=(const USBTransportManager&) = delete;

    // Where the transport reports; set before start(). Held weakly.
    void setEvents(std::weak_ptr<TransportEvents> events);

    void start();
    void stop();
    // To the cable's connection, if any; otherwise discarded.
    void send(const wire::ControlMessage& message);

    // For tests and diagnostics: waits for the poll queue to run what was queued before, then
    // tells whether the transport is started and the usbmuxd identifier it is connected to.
    struct Snapshot {
        bool started = false;
        std::optional<std::int64_t> connectedDeviceID;
    };
    Snapshot snapshot();

    struct Cable;

private:
    USBTransportManager(std::shared_ptr<PairingStore> store,
                        std::shared_ptr<platform::SerialQueue> io, USBTransportOptions options);

    struct Stopped {};
    struct Polling {
        std::shared_ptr<platform::TimerHandle> timer;
    };
    struct Connected {
        std::shared_ptr<platform::TimerHandle> timer;
        std::int64_t deviceID;
        std::uint64_t generation; // names the cable connection on the I/O queue
    };
    using State = std::variant<Stopped, Polling, Connected>;

    // All on queue_.
    void poll();
    void connectTo(std::int64_t deviceID);
    void dropCable();
    void cableClosed(std::uint64_t generation);

    USBTransportOptions options_;
    platform::usbmux::USBMuxClient mux_;
    std::shared_ptr<PairingStore> store_;
    State state_ = Stopped{};
    std::uint64_t generations_ = 0;
    bool hasLoggedRetrying_ = false;
    std::shared_ptr<platform::SerialQueue> io_;
    std::shared_ptr<Cable> cable_; // the I/O queue's side
    std::unique_ptr<platform::SerialQueue> queue_;
};

} // namespace quillon
