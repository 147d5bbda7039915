#include "Quillon/Transport/Session.hpp"

#include "Quillon/Pairing/PairingSession.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "Quillon/Pairing/SessionGatekeeper.hpp"
#include "Quillon/Transport/HeartbeatMonitor.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <exception>

namespace quillon {

using wire::ControlMessage;

namespace {
constexpr std::uint16_t kPairWindowClosedCode = 408;
constexpr const char* kPairWindowClosedMessage = "配对窗口已关闭";
constexpr std::uint16_t kPairSaveFailedCode = 500;
constexpr const char* kPairSaveFailedMessage = "保存配对记录失败";

bool readsFrames(SessionPhase phase) noexcept {
    return phase == SessionPhase::awaitingHello || phase == SessionPhase::pairing ||
           phase == SessionPhase::admitted;
}
} // namespace

const char* rawValue(SessionPhase phase) noexcept {
    switch (phase) {
    case SessionPhase::handshaking:
        return "handshaking";
    case SessionPhase::awaitingHello:
        return "awaitingHello";
    case SessionPhase::pairing:
        return "pairing";
    case SessionPhase::admitted:
        return "admitted";
    case SessionPhase::refused:
        return "refused";
    case SessionPhase::closing:
        return "closing";
    }
    return "?";
}

const char* rawValue(SessionEvent event) noexcept {
    switch (event) {
    case SessionEvent::secured:
        return "secured";
    case SessionEvent::admitted:
        return "admitted";
    case SessionEvent::refused:
        return "refused";
    case SessionEvent::closed:
        return "closed";
    }
    return "?";
}

std::optional<SessionPhase> sessionTransition(SessionPhase from, SessionEvent event,
                                              SessionChannel channel) noexcept {
    using P = SessionPhase;
    if (from == P::closing) {
        return std::nullopt;
    }
    switch (event) {
    case SessionEvent::closed:
        return P::closing;
    case SessionEvent::secured:
        if (from != P::handshaking) {
            return std::nullopt;
        }
        return channel == SessionChannel::main ? P::awaitingHello : P::pairing;
    case SessionEvent::admitted:
        if (from != P::awaitingHello) {
            return std::nullopt;
        }
        return P::admitted;
    case SessionEvent::refused:
        // Only a peer that has not been admitted can be refused: an admitted one is trusted
        // until it leaves.
        if (from != P::awaitingHello && from != P::pairing) {
            return std::nullopt;
        }
        return P::refused;
    }
    return std::nullopt;
}

Session::Session(SessionChannel channel, SessionRules rules, const SessionServices& services,
                 SessionLink& link, SessionDelegate& delegate)
    : channel_(channel), rules_(rules), services_(services), link_(link), delegate_(delegate) {}

bool Session::move(SessionEvent event) noexcept {
    const auto next = sessionTransition(phase_, event, channel_);
    if (!next) {
        return false;
    }
    phase_ = *next;
    return true;
}

void Session::secured() {
    move(SessionEvent::secured);
}

void Session::close() noexcept {
    // The burst is left alone: a delegate may close the session while it reads the span.
    move(SessionEvent::closed);
}

void Session::receive(wire::ByteView bytes) {
    if (!readsFrames(phase_)) {
        return; // refused peers are not listened to; nothing is buffered for them
    }
    decoder_.append(bytes);
    double now = -1; // read at the first frame that decodes, once per read
    while (readsFrames(phase_)) {
        const std::uint32_t limit = phase_ == SessionPhase::admitted
                                        ? wire::FrameCodec::maxPayloadSize
                                        : rules_.preAdmissionFrameLimit;
        std::optional<wire::FrameView> frame;
        try {
            frame = decoder_.nextFrameView(limit);
        } catch (const wire::FrameDecodeError& e) {
            if (e.kind() == wire::FrameDecodeError::Kind::unknownMessageType) {
                continue; // skipped; the stream stays in step
            }
            // The stream cannot be resynchronised: what was decoded still counts.
            deliverBurst(now);
            decoder_ = wire::FrameDecoder();
            if (move(SessionEvent::closed)) {
                link_.closeNow();
            }
            return;
        }
        if (!frame) {
            break;
        }
        handle(*frame, now);
    }
    deliverBurst(now);
    if (!readsFrames(phase_)) {
        decoder_ = wire::FrameDecoder(); // refused or closed: what is left will never be read
    }
}

void Session::handle(const wire::FrameView& frame, double& now) {
    std::optional<ControlMessage> decoded;
    try {
        decoded.emplace(ControlMessage::decode(frame));
    } catch (const std::exception&) {
        return; // dropped: no reply, no event, no heartbeat
    }
    ControlMessage& message = *decoded;
    decodedAny_ = true;
    if (now < 0) {
        now = services_.clock();
    }
    switch (phase_) {
    case SessionPhase::pairing:
        if (const auto* request = message.getIf<wire::cm::PairRequest>()) {
            pair(*request, now);
        }
        return; // anything else on the pairing channel is ignored
    case SessionPhase::awaitingHello:
        admit(message, now);
        return;
    case SessionPhase::admitted:
        heard_ = true;
        if (message.is<wire::cm::Heartbeat>()) {
            reply(wire::cm::HeartbeatAck{});
        } else if (rules_.profile == SessionRules::Profile::usb && message.is<wire::cm::Hello>()) {
            // a second hello on a cable session is ignored
        } else {
            burst_.push_back(std::move(message));
        }
        return;
    case SessionPhase::handshaking:
    case SessionPhase::refused:
    case SessionPhase::closing:
        return;
    }
}

void Session::admit(const ControlMessage& message, double now) {
    const bool usb = rules_.profile == SessionRules::Profile::usb;
    if (usb && !message.is<wire::cm::Hello>()) {
        return; // a cable peer may say other things first; only a hello is answered
    }
    SessionAdmission admission = SessionGatekeeper::admit(message, services_.store, now);
    if (const auto* rejected = std::get_if<SessionAdmission::Rejected>(&admission.value)) {
        refuse(rejected->code, rejected->reason);
        return;
    }
    const PairedDevice& device = std::get<SessionAdmission::Accepted>(admission.value).device;
    deviceID_ = device.deviceID;
    move(SessionEvent::admitted);
    if (usb) {
        // Reported as stored: a cable admission records no time.
        PairedDevice stored = device;
        try {
            if (const auto current = services_.store.device(device.deviceID)) {
                stored.lastSeenAt = current->lastSeenAt;
            }
        } catch (...) {
            // The gatekeeper's copy stands.
        }
        delegate_.sessionAdmitted(stored);
        if (phase_ == SessionPhase::admitted) {
            reply(services_.screenInfo());
        }
        return;
    }
    try {
        services_.store.save(device);
    } catch (...) {
        // Only lastSeenAt would be lost; admission does not depend on it.
    }
    if (services_.heartbeat != nullptr) {
        services_.heartbeat->record(device.deviceID, now);
    }
    reply(services_.screenInfo());
    delegate_.sessionAdmitted(device);
}

void Session::pair(const wire::cm::PairRequest& request, double now) {
    PairingSession* window = services_.pairingWindow;
    if (window != nullptr) {
        window->prune(now);
    }
    if (window == nullptr || !window->activeCredential(now)) {
        refuse(kPairWindowClosedCode, kPairWindowClosedMessage);
        return;
    }
    PairedDevice device;
    device.deviceID = wire::PSKProvider::randomUUIDString();
    device.token = wire::PSKProvider::randomBytes(wire::ServiceConstants::tokenByteCount);
    device.deviceName = request.deviceName;
    device.pairedAt = now;
    wire::Bytes secret;
    try {
        services_.store.save(device);
        secret = services_.store.hostSecret();
    } catch (...) {
        refuse(kPairSaveFailedCode, kPairSaveFailedMessage); // the window stays open
        return;
    }
    reply(wire::cm::PairResult{true, device.deviceID, device.token, std::move(secret)});
    window->recordSuccess(); // one window pairs one device
    delegate_.sessionPaired(device);
}

void Session::refuse(std::uint16_t code, std::string reason) {
    if (!move(SessionEvent::refused)) {
        return;
    }
    reply(wire::cm::Error{code, reason});
    link_.closeAfterWrites();
    delegate_.sessionRefused(code, reason);
}

void Session::reply(const ControlMessage& message) {
    out_.clear();
    const wire::Frame frame = message.encode();
    wire::FrameCodec::encodeInto(out_, frame.type, frame.payload);
    link_.write(out_);
}

void Session::deliverBurst(double now) {
    if (!deviceID_) {
        return;
    }
    if (heard_) {
        heard_ = false;
        if (services_.heartbeat != nullptr) {
            services_.heartbeat->record(*deviceID_, now);
        }
    }
    if (burst_.empty()) {
        return;
    }
    delegate_.sessionReceived(burst_, *deviceID_);
    burst_.clear();
}

} // namespace quillon
