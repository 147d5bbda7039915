#include "Quillon/Host/TransportHub.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Host/HostStatePublisher.hpp"
#include "Quillon/Host/InputRouter.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "Quillon/Pairing/SessionGatekeeper.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "Quillon/Transport/USBTransportManager.hpp"

#include <algorithm>

namespace quillon {

namespace {

using platform::DiagLog::write;

std::string logLine(const HostNotice& n) {
    const std::string who =
        n.channel == HostChannel::usb ? std::string("usb") : platform::safeText(n.source, 64);
    if (n.kind == HostNotice::Kind::wrongPIN) {
        return i18n::fill(i18n::tr("[pairing] refused {1}: wrong pairing code"), {who});
    }
    return i18n::fill(i18n::tr("[connect] refused {1}: {2} {3}"),
                      {who, std::to_string(n.code), shownReason(n.reason)});
}

} // namespace

HostNotice noticeFor(const TransportRefusal& refusal) {
    HostNotice n;
    n.channel = refusal.channel;
    if (refusal.kind == TransportRefusal::Kind::wrongPIN) {
        n.kind = HostNotice::Kind::wrongPIN;
        n.source = refusal.source;
        return n;
    }
    n.source = refusal.channel == HostChannel::usb ? std::string() : refusal.source;
    n.code = refusal.code;
    n.reason = platform::safeText(refusal.reason, 200);
    switch (refusal.code) {
    case SessionGatekeeper::codeUnknownDevice:
        n.kind = HostNotice::Kind::unknownDevice;
        break;
    case SessionGatekeeper::codeBadToken:
        n.kind = HostNotice::Kind::badToken;
        break;
    case SessionGatekeeper::codeVersionMismatch:
        n.kind = HostNotice::Kind::outdatedClient;
        break;
    default:
        n.kind = HostNotice::Kind::refused;
        break;
    }
    return n;
}

std::shared_ptr<TransportHub> TransportHub::create(Collaborators collaborators) {
    std::shared_ptr<TransportHub> hub(new TransportHub(std::move(collaborators)));
    hub->c_.server->setEvents(hub);
    hub->c_.usb->setEvents(hub);
    return hub;
}

void TransportHub::postToMain(std::function<void(TransportHub&)> work) {
    c_.mainQueue->post([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(*self);
        }
    });
}

void TransportHub::publishPorts() {
    c_.publisher->setPorts(c_.server->mainPort(), c_.server->pairingPort());
}

// MARK: operations (main)

void TransportHub::start() {
    c_.usb->start();
    try {
        c_.server->start();
    } catch (...) {
        publishPorts();
        throw;
    }
    publishPorts();
}

void TransportHub::stop() {
    c_.usb->stop();
    c_.server->stop();
    c_.publisher->setConnectedIDs({});
    c_.publisher->hidePIN(); // the window went with the listeners
    publishPorts();
}

void TransportHub::drop() {
    c_.publisher->setConnectedIDs({});
    arbiter_ = ChannelArbiter();
    c_.publisher->setActiveChannel(std::nullopt);
    // One trip to the transport: sessions, listeners and the pairing window end together.
    c_.server->stop();
    c_.publisher->hidePIN();
    c_.usb->stop();
    publishPorts();
}

void TransportHub::resume() {
    try {
        c_.server->start();
    } catch (...) {
        publishPorts();
        throw;
    }
    c_.usb->start();
    publishPorts();
}

std::pair<std::string, std::optional<double>> TransportHub::beginPairing(double now) {
    std::string pin;
    try {
        pin = c_.server->beginPairing(now);
    } catch (...) {
        publishPorts();
        throw;
    }
    publishPorts();
    std::optional<double> expiresAt;
    const auto state = c_.server->pairingState();
    if (const auto* open = std::get_if<PairingSession::Open>(&state)) {
        expiresAt = open->expiresAt;
    }
    return {pin, expiresAt};
}

void TransportHub::endPairing() {
    c_.server->endPairing();
    publishPorts();
}

PairingSession::State TransportHub::pairingState() {
    return c_.server->pairingState();
}

void TransportHub::disconnect(const std::string& deviceID) {
    c_.server->disconnect(deviceID);
}

void TransportHub::send(const wire::ControlMessage& message, const std::string& deviceID) {
    if (arbiter_.channel(deviceID) == HostChannel::usb) {
        c_.usb->send(message);
    } else {
        c_.server->send(message, deviceID);
    }
}

void TransportHub::refreshDevices() {
    std::vector<PairedDevice> list;
    std::optional<std::string> problem;
    try {
        list = c_.store->allDevices();
    } catch (const std::exception& error) {
        list.clear();
        problem = error.what();
    }
    // Oldest pairing first; equal times keep the store's order.
    std::stable_sort(list.begin(), list.end(), [](const PairedDevice& a, const PairedDevice& b) {
        return a.pairedAt < b.pairedAt;
    });
    const bool any = !list.empty();
    c_.publisher->setDevices(std::move(list), std::move(problem));
    if (any && c_.telemetry) {
        c_.telemetry->notePaired(true);
    }
}

// MARK: shared paths

void TransportHub::handleAccept(const PairedDevice& device, HostChannel channel) {
    write(i18n::fill(i18n::tr("[connect] device attached: {1} ({2})"),
                     {platform::safeText(device.deviceName, 128), rawValue(channel)}));
    postToMain([device, channel](TransportHub& self) {
        const std::string& id = device.deviceID;
        switch (self.arbiter_.admit(id, channel)) {
        case AdmitDecision::reject:
            write(
                i18n::fill(i18n::tr("[connect] refused {1}: USB is in use"), {rawValue(channel)}));
            if (channel == HostChannel::wifi) {
                self.c_.server->disconnect(id);
            }
            return;
        case AdmitDecision::acceptAndDropWiFi:
            write(i18n::tr("[connect] USB takes over; closing the same device's Wi-Fi session"));
            self.c_.server->disconnect(id);
            break;
        case AdmitDecision::accept:
            break;
        }
        if (self.c_.telemetry) {
            self.c_.telemetry->bump(std::string("connect_") + rawValue(channel));
        }
        auto& publisher = *self.c_.publisher;
        publisher.addConnected(id);
        publisher.setActiveChannel(self.arbiter_.dominantChannel());
        // A device got in on this channel: a refusal there is no longer the news.
        publisher.clearNotice([channel](const HostNotice& n) {
            return n.kind != HostNotice::Kind::wrongPIN && n.channel == channel;
        });
        self.refreshDevices();
    });
}

void TransportHub::handleDisconnect(const std::string& deviceID, HostChannel channel) {
    const auto current = arbiter_.channel(deviceID);
    if (current && *current != channel) {
        return; // the close of a superseded session: the live one keeps its keys
    }
    write(i18n::fill(
        i18n::tr("[disconnect] device disconnected: {1} ({2}) — releasing every held key"),
        {deviceID, rawValue(channel)}));
    c_.input->releaseDevice(deviceID);
    arbiter_.remove(deviceID, channel);
    c_.publisher->removeConnected(deviceID);
    c_.publisher->setActiveChannel(arbiter_.dominantChannel());
    refreshDevices();
}

// MARK: transport events (the I/O queue)

void TransportHub::transportAdmitted(const PairedDevice& device, HostChannel channel) {
    if (channel == HostChannel::usb) {
        write(i18n::fill(i18n::tr("[USB] device attached: {1}"), {device.deviceName}));
    }
    handleAccept(device, channel);
}

void TransportHub::transportReceived(std::span<const wire::ControlMessage> messages,
                                     const std::string& deviceID, HostChannel) {
    c_.input->dispatchBurst(messages, deviceID);
}

void TransportHub::transportClosed(const std::string& deviceID, HostChannel channel) {
    if (channel == HostChannel::usb) {
        write(i18n::tr("[USB] connection closed"));
    }
    postToMain(
        [deviceID, channel](TransportHub& self) { self.handleDisconnect(deviceID, channel); });
}

void TransportHub::transportPaired(const PairedDevice&) {
    // The spent window ends on main, where the user opens and closes windows: a window opened
    // again before this runs is still open on the server and stays, with its PIN.
    postToMain([](TransportHub& self) {
        if (self.c_.server->endPairingIfSpent()) {
            self.c_.publisher->hidePIN();
        }
        self.publishPorts();
        // The wrong PINs before it are history now.
        self.c_.publisher->clearNotice(
            [](const HostNotice& n) { return n.kind == HostNotice::Kind::wrongPIN; });
        self.refreshDevices();
        if (self.c_.telemetry) {
            self.c_.telemetry->bump("pair");
        }
    });
}

void TransportHub::transportRefused(const TransportRefusal& refusal) {
    if (refusal.kind == TransportRefusal::Kind::noRoom) {
        // A flood, not a tablet: the log hears of it (already summed up by the transport), the
        // user's console does not.
        const std::string count = std::to_string(refusal.count);
        write(refusal.source.empty()
                  ? i18n::fill(i18n::tr("[connect] no room among the connections waiting to "
                                        "prove themselves ({1}): {2} turned away"),
                               {refusal.listener, count})
                  : i18n::fill(i18n::tr("[connect] no room among the connections waiting to "
                                        "prove themselves ({1}): {2} turned away, the last "
                                        "from {3}"),
                               {refusal.listener, count, platform::safeText(refusal.source, 64)}));
        return;
    }
    HostNotice notice = noticeFor(refusal);
    if (refusal.channel == HostChannel::usb) {
        // A refused tablet is tried again at every poll: told once, not every two seconds.
        postToMain([notice = std::move(notice)](TransportHub& self) mutable {
            if (self.c_.publisher->state().notice == notice) {
                return;
            }
            write(logLine(notice));
            self.c_.publisher->publishNotice(std::move(notice));
        });
        return;
    }
    write(logLine(notice));
    postToMain([notice = std::move(notice)](TransportHub& self) mutable {
        self.c_.publisher->publishNotice(std::move(notice));
    });
}

void TransportHub::transportFailed(const TransportError& error) {
    postToMain([text = error.description()](TransportHub& self) {
        self.c_.publisher->setLastError(text);
        self.publishPorts(); // a window closed for wrong PINs took its listener along
    });
}

} // namespace quillon
