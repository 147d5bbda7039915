#pragma once

#include "Quillon/Host/ChannelArbiter.hpp"
#include "Quillon/Host/HostNotice.hpp"
#include "Quillon/Pairing/PairingSession.hpp"
#include "Quillon/Transport/TransportEvents.hpp"

#include <memory>
#include <string>

namespace quillon::platform {
class MainQueue;
}

namespace quillon {

class HostStatePublisher;
class InputRouter;
class PairingStore;
class Telemetry;
class TransportServer;
class USBTransportManager;

// A refused hello or pair request, in the terms the user reads.
HostNotice noticeFor(const TransportRefusal& refusal);

// The host's side of both transports: it hears every TransportEvents of the network and the
// cable, decides with the channel arbiter which session of a device is live (one per device;
// the cable wins), publishes who is connected over what, hands an admitted device's messages
// to the input routing and releases a gone device's keys, routes replies by the device's
// channel, and starts, stops, drops and resumes both transports together.
//
// Events arrive on the transports' I/O queue and make one hop to the main queue for everything
// but input; every operation below is for the main queue.
class TransportHub : public TransportEvents, public std::enable_shared_from_this<TransportHub> {
public:
    struct Collaborators {
        std::shared_ptr<PairingStore> store;
        std::shared_ptr<TransportServer> server;
        std::shared_ptr<USBTransportManager> usb;
        std::shared_ptr<HostStatePublisher> publisher;
        std::shared_ptr<InputRouter> input;
        std::shared_ptr<platform::MainQueue> mainQueue;
        // Counts admissions and pairings; none: nothing is counted.
        std::shared_ptr<Telemetry> telemetry;
    };
    // Registers itself as both transports' events.
    static std::shared_ptr<TransportHub> create(Collaborators collaborators);

    // Both transports: the cable's polling, then the listeners (throws what the network
    // transport's start() throws; the cable runs anyway). The ports are published.
    void start();
    // Both transports stop; nothing is reported, nobody is shown connected, the pairing window
    // ends.
    void stop();
    // The screen locked: every session, both listeners and the pairing window end in one trip
    // to the network transport, the cable stops, the arbiter forgets every device.
    void drop();
    // After an unlock: the listeners (throws as start()), then the cable.
    void resume();

    // Opens a pairing window at `now` and returns its PIN and when it closes.
    std::pair<std::string, std::optional<double>> beginPairing(double now);
    void endPairing();
    PairingSession::State pairingState();

    // The device's Wi-Fi sessions end (a cable is not dropped from here).
    void disconnect(const std::string& deviceID);
    // To the device over the channel the arbiter names now (Wi-Fi when it names none).
    void send(const wire::ControlMessage& message, const std::string& deviceID);
    // The paired devices, read again from the store and published (oldest pairing first).
    void refreshDevices();

    const ChannelArbiter& arbiter() const noexcept { return arbiter_; }
    TransportServer& server() noexcept { return *c_.server; }
    USBTransportManager& usb() noexcept { return *c_.usb; }

    // The paths both transports share. handleAccept: the delivering thread (the decision is
    // taken on main). handleDisconnect: main.
    void handleAccept(const PairedDevice& device, HostChannel channel);
    void handleDisconnect(const std::string& deviceID, HostChannel channel);

    // TransportEvents (the I/O queue).
    void transportAdmitted(const PairedDevice& device, HostChannel channel) override;
    void transportReceived(std::span<const wire::ControlMessage> messages,
                           const std::string& deviceID, HostChannel channel) override;
    void transportClosed(const std::string& deviceID, HostChannel channel) override;
    void transportPaired(const PairedDevice& device) override;
    void transportRefused(const TransportRefusal& refusal) override;
    void transportFailed(const TransportError& error) override;

private:
    explicit TransportHub(Collaborators collaborators) : c_(std::move(collaborators)) {}
    void postToMain(std::function<void(TransportHub&)> work);
    void publishPorts();

    Collaborators c_;
    ChannelArbiter arbiter_;
};

} // namespace quillon
