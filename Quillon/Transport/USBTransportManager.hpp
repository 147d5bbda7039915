#pragma once

#include "Platform/Usbmux/USBMuxClient.hpp"
#include "Quillon/Pairing/PairedDevice.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "Quillon/Transport/ReplyQueue.hpp"
#include "WireProtocol/ControlMessage.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace quillon {

namespace platform {
class DisplayGeometry;
class SerialQueue;
class TimerHandle;
} // namespace platform

class USBSession;

struct USBTransportOptions {
    // Where usbmuxd is and how long an exchange with it may take.
    platform::usbmux::USBMuxClient::Options mux;
    // The display whose geometry helloAck reports; none means no display (0 x 0, scale 2.0).
    std::shared_ptr<platform::DisplayGeometry> display;
    std::chrono::nanoseconds pollInterval = std::chrono::seconds(2);
    // The session's reply budget: what may wait for a tablet that does not read, and how long a
    // pending reply may go without a byte taken before the session is dropped.
    ReplyQueue::Limits replies{8u << 20, 4096};
    std::chrono::milliseconds writeStallLimit{3000};
    // The diagnostics log; the real one when empty.
    std::function<void(std::string_view)> log;
};

// The USB transport: polls usbmuxd on "quillon-usb" (at once on start, then every two
// seconds), and while a USB-attached device is listed, someone is paired and no session runs,
// connects to the first listed device's service port and runs a USBSession over the stream.
// Admission is the session's hello check, so a refused tablet is simply tried again next tick.
//
// start(), stop() and send() only queue work and may be called from any thread. The callbacks
// are set once before the first start(); they arrive on the session's read thread (onAccept,
// onMessage, onAvailabilityChange(true)) and on the manager's queue (onClose,
// onAvailabilityChange(false)), never on the main thread.
class USBTransportManager : public std::enable_shared_from_this<USBTransportManager> {
public:
    static std::shared_ptr<USBTransportManager> create(std::shared_ptr<PairingStore> store,
                                                       USBTransportOptions options = {});
    ~USBTransportManager();
    USBTransportManager(const USBTransportManager&) = delete;
    USBTransportManager& operator=(const USBTransportManager&) = delete;

    std::function<void(const PairedDevice&)> onAccept;
    // A hello on the cable refused with its code (on the session's read thread).
    std::function<void(std::uint16_t, const std::string&)> onRefuse;
    // The messages of one read of the session, as USBSession::onMessage gives them.
    std::function<void(std::span<const wire::ControlMessage>, const std::string&)> onMessage;
    std::function<void(const std::optional<std::string>&)> onClose;
    std::function<void(bool)> onAvailabilityChange;

    void start();
    void stop();
    // To the running session, if any; otherwise discarded.
    void send(const wire::ControlMessage& message);

    // For tests and diagnostics: waits for the queue to run what was queued before, then tells
    // whether the manager is started and the usbmuxd identifier it is connected to.
    struct Snapshot {
        bool started = false;
        std::optional<std::int64_t> connectedDeviceID;
    };
    Snapshot snapshot();

private:
    USBTransportManager(std::shared_ptr<PairingStore> store, USBTransportOptions options);

    struct Stopped {};
    struct Polling {
        std::shared_ptr<platform::TimerHandle> timer;
    };
    struct Connected {
        std::shared_ptr<platform::TimerHandle> timer;
        std::shared_ptr<USBSession> session;
        std::int64_t deviceID;
    };
    using State = std::variant<Stopped, Polling, Connected>;

    // All on queue_.
    void poll();
    void connectTo(std::int64_t deviceID);
    void dropSession();
    void sessionClosed(const std::shared_ptr<USBSession>& session,
                       const std::optional<std::string>& deviceID);

    std::shared_ptr<PairingStore> store_;
    USBTransportOptions options_;
    platform::usbmux::USBMuxClient mux_;
    State state_ = Stopped{};
    bool hasLoggedRetrying_ = false;
    std::unique_ptr<platform::SerialQueue> queue_;
};

} // namespace quillon
