#include "Quillon/Host/HostCoordinator.hpp"
#include "Quillon/Pairing/SessionGatekeeper.hpp"

#include "Platform/Defaults/Defaults.hpp"
#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Diagnostics/SafeText.hpp"
#include "Platform/Discovery/ServiceAdvertiser.hpp"
#include "Platform/Dispatch/MainQueue.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Catalog/AppSwitching.hpp"
#include "Quillon/Host/InputDiagnostics.hpp"
#include "Quillon/Host/InputLanes.hpp"
#include "Quillon/Host/ScreenLockMonitor.hpp"
#include "Quillon/Host/Telemetry.hpp"
#include "Quillon/Input/EventInjector.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <type_traits>
#include <variant>

namespace quillon {

namespace {

using platform::DiagLog::write;

constexpr auto kLaunchProbeDelay = std::chrono::milliseconds(3000);

// The eight input messages take the immediate path: injected on the delivering thread.
bool isImmediateInput(const wire::ControlMessage& message) {
    return std::visit(
        [](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            return std::is_same_v<T, wire::cm::PointerAbsolute> ||
                   std::is_same_v<T, wire::cm::PointerRelative> ||
                   std::is_same_v<T, wire::cm::MouseButton> ||
                   std::is_same_v<T, wire::cm::Scroll> || std::is_same_v<T, wire::cm::KeyCombo> ||
                   std::is_same_v<T, wire::cm::TextInput> || std::is_same_v<T, wire::cm::Gesture> ||
                   std::is_same_v<T, wire::cm::Magnify>;
        },
        message.value());
}

// Text is typed in pieces of this many characters, the lock gate looked at before each and the
// injector free between them: one run of the injector's typing.
constexpr std::size_t kTextPiece = 20;
// Text waiting to be typed, per device. Typing runs at tens to thousands of characters a
// second, so this is minutes of typing; beyond it a device's text is dropped.
constexpr std::size_t kMaxPendingInput = 4 << 20;

// The end of the piece of at most kTextPiece characters that starts at `from` (a character
// boundary: continuation bytes are never split).
std::size_t textPieceEnd(const std::string& text, std::size_t from) {
    std::size_t at = from;
    for (std::size_t characters = 0; at < text.size() && characters < kTextPiece; ++characters) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
            ++at;
        }
    }
    return at;
}

std::string describe(const std::exception& error) {
    if (const auto* server = dynamic_cast<const TransportServerError*>(&error)) {
        return server->description();
    }
    return error.what();
}

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A refused hello or pair request, in the terms the user reads.
HostNotice noticeFor(std::uint16_t code, std::string reason, HostChannel channel,
                     std::string source) {
    HostNotice n;
    n.channel = channel;
    n.source = std::move(source);
    n.code = code;
    n.reason = platform::safeText(reason, 200);
    switch (code) {
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

std::shared_ptr<HostCoordinator> HostCoordinator::create(std::shared_ptr<PairingStore> store,
                                                         std::shared_ptr<EventInjector> injector,
                                                         bool autoStart,
                                                         std::shared_ptr<AppSwitching> appSwitching,
                                                         Services services, Options options) {
    std::shared_ptr<HostCoordinator> coordinator(
        new HostCoordinator(std::move(store), std::move(injector), std::move(appSwitching),
                            std::move(services), std::move(options)));
    coordinator->server_->setDelegate(coordinator);
    if (coordinator->advertiser_) {
        std::weak_ptr<HostCoordinator> weak = coordinator;
        coordinator->advertiser_->setAvailabilityHandler([weak](bool discoverable) {
            if (auto self = weak.lock()) {
                self->postToMain(
                    [discoverable](HostCoordinator& c) { c.setDiscoverable(discoverable); });
            }
        });
    }
    coordinator->refreshDevices();
    if (autoStart) {
        coordinator->start();
        coordinator->scheduleLaunchProbes();
        coordinator->terminationArmed_ = true;
    }
    return coordinator;
}

HostCoordinator::HostCoordinator(std::shared_ptr<PairingStore> store,
                                 std::shared_ptr<EventInjector> injector,
                                 std::shared_ptr<AppSwitching> appSwitching, Services services,
                                 Options options)
    : services_(std::move(services)), store_(std::move(store)), injector_(std::move(injector)),
      appSwitching_(std::move(appSwitching)),
      clock_(options.clock ? std::move(options.clock) : std::function<double()>(systemNow)),
      inputGate_(options.inputGate ? std::move(options.inputGate) : std::make_shared<InputGate>()) {
    usbOptions_ = std::move(options.usb);
    if (!usbOptions_.display) {
        usbOptions_.display = options.server.display;
    }
    // The coordinator hears from the advertiser itself whether tablets can find the host.
    if (!options.server.advertiser && options.server.advertise) {
        options.server.advertiser = platform::makeAvahiAdvertiser();
    }
    advertiser_ = options.server.advertiser;
    server_ = std::make_unique<TransportServer>(store_, std::move(options.server));
    inputWorker_ = std::make_shared<platform::SerialQueue>("quillon-input");
    std::weak_ptr<platform::SerialQueue> worker = inputWorker_;
    lanes_ = InputLanes::create({[mainQueue = services_.mainQueue](std::function<void()> work) {
                                     mainQueue->post(std::move(work));
                                 },
                                 [worker](std::function<void()> work) {
                                     if (auto queue = worker.lock()) {
                                         queue->async(std::move(work));
                                     }
                                 }},
                                kMaxPendingInput);
}

HostCoordinator::~HostCoordinator() {
    // The monitor's thread and the transports' queues must be gone before the fields they use.
    lockMonitor_.reset();
    usb_.reset();
    server_.reset();
    lanes_->clearAll();
    inputWorker_.reset(); // joins: no typing outlives the coordinator
}

double HostCoordinator::now() const {
    return clock_();
}

// MARK: published state

std::size_t HostCoordinator::addObserver(Observer observer) {
    const std::size_t token = nextObserverToken_++;
    observers_.emplace_back(token, std::move(observer));
    return token;
}

void HostCoordinator::removeObserver(std::size_t token) {
    std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void HostCoordinator::notify(Field field) {
    // A copy: an observer may add or remove observers while being told.
    const auto observers = observers_;
    for (const auto& [token, observer] : observers) {
        observer(field);
    }
}

void HostCoordinator::setDevices(std::vector<PairedDevice> value,
                                 std::optional<std::string> storeProblem) {
    if (value == devices_ && storeProblem == storeProblem_) {
        return;
    }
    devices_ = std::move(value);
    storeProblem_ = std::move(storeProblem);
    notify(Field::devices);
}

void HostCoordinator::setConnectedIDs(std::vector<std::string> value) {
    if (value == connectedIDs_) {
        return;
    }
    connectedIDs_ = std::move(value);
    notify(Field::connectedIDs);
}

void HostCoordinator::setPairingPIN(std::optional<std::string> value) {
    if (value == pairingPIN_) {
        return;
    }
    pairingPIN_ = std::move(value);
    notify(Field::pairingPIN);
}

void HostCoordinator::setScreenLocked(bool value) {
    // The gate changes together with the published flag, before anyone is told.
    if (value) {
        inputGate_->close();
    } else {
        inputGate_->open();
    }
    if (value == isScreenLocked_) {
        return;
    }
    isScreenLocked_ = value;
    notify(Field::isScreenLocked);
}

void HostCoordinator::publishNotice(HostNotice notice) {
    notice_ = std::move(notice);
    notify(Field::notice);
}

void HostCoordinator::clearNotice(const std::function<bool(const HostNotice&)>& stale) {
    if (notice_ && stale(*notice_)) {
        notice_.reset();
        notify(Field::notice);
    }
}

void HostCoordinator::clearLastError() {
    if (lastError_) {
        lastError_.reset();
        notify(Field::lastError);
    }
}

void HostCoordinator::setDiscoverable(bool value) {
    if (value == discoverable_) {
        return;
    }
    discoverable_ = value;
    notify(Field::discoverable);
}

void HostCoordinator::setLastError(std::string value) {
    // Told every time, also when the text repeats: the failure happened again.
    lastError_ = std::move(value);
    notify(Field::lastError);
}

void HostCoordinator::setActiveChannel(std::optional<HostChannel> value) {
    if (value == activeChannel_) {
        return;
    }
    activeChannel_ = value;
    notify(Field::activeChannel);
}

void HostCoordinator::postToMain(std::function<void(HostCoordinator&)> work) {
    std::weak_ptr<HostCoordinator> weak = weak_from_this();
    services_.mainQueue->post([weak, work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(*self);
        }
    });
}

// MARK: user-interface operations

USBTransportManager& HostCoordinator::usb() {
    if (usb_) {
        return *usb_;
    }
    usb_ = USBTransportManager::create(store_, usbOptions_);
    std::weak_ptr<HostCoordinator> weak = weak_from_this();
    // On the session's read thread.
    usb_->onAccept = [weak](const PairedDevice& device) {
        if (auto self = weak.lock()) {
            write(i18n::fill(i18n::tr("[USB] device attached: {1}"), {device.deviceName}));
            self->handleAccept(device, HostChannel::usb);
        }
    };
    // On the session's read thread.
    usb_->onRefuse = [weak](std::uint16_t code, const std::string& reason) {
        if (auto self = weak.lock()) {
            // A refused tablet is tried again at every poll: told once, not every two seconds.
            self->postToMain([notice = noticeFor(code, reason, HostChannel::usb, {})](
                                 HostCoordinator& coordinator) mutable {
                if (coordinator.notice_ == notice) {
                    return;
                }
                write(logLine(notice));
                coordinator.publishNotice(std::move(notice));
            });
        }
    };
    usb_->onMessage = [weak](std::span<const wire::ControlMessage> messages,
                             const std::string& deviceID) {
        if (auto self = weak.lock()) {
            self->dispatchBurst(messages, deviceID);
        }
    };
    // On the manager's queue.
    usb_->onClose = [weak](const std::optional<std::string>& deviceID) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        write(i18n::tr("[USB] connection closed"));
        if (deviceID) {
            self->postToMain([id = *deviceID](HostCoordinator& coordinator) {
                coordinator.handleDisconnect(id, HostChannel::usb);
            });
        }
    };
    return *usb_;
}

void HostCoordinator::start() {
    if (!lockMonitor_ && services_.lockSource) {
        std::weak_ptr<HostCoordinator> weak = weak_from_this();
        lockMonitor_ = std::make_unique<ScreenLockMonitor>(
            services_.lockSource, services_.mainQueue,
            [weak] {
                if (auto self = weak.lock()) {
                    self->handleLock();
                }
            },
            [weak] {
                if (auto self = weak.lock()) {
                    self->handleUnlock();
                }
            });
    }
    if (lockMonitor_) {
        lockMonitor_->start();
    }
    usb().start();
    try {
        server_->start();
        clearLastError();
    } catch (const std::exception& error) {
        setLastError(i18n::fill(i18n::tr("Could not start listening: {1}"), {describe(error)}));
    }
}

void HostCoordinator::stop() {
    if (lockMonitor_) {
        lockMonitor_->stop();
    }
    usb().stop();
    injector_->releaseAll();
    server_->stop();
    setConnectedIDs({});
    setPairingPIN(std::nullopt); // the window went with the listeners
}

void HostCoordinator::beforeExit() {
    if (terminationArmed_) {
        stop();
    }
}

HostCoordinator::Outcome HostCoordinator::beginPairing() {
    if (isScreenLocked_) {
        write(i18n::tr("[pairing] the screen is locked; no pairing window opened"));
        return Outcome::screenLocked;
    }
    try {
        // A window whose pairing could never be saved would show a PIN that only wastes the
        // user's time: the store must answer first.
        store_->hostSecret();
        const auto pin = server_->beginPairing(now());
        clearLastError();
        clearNotice([](const HostNotice& n) { return n.kind == HostNotice::Kind::wrongPIN; });
        pairingExpired_ = false; // told with the new PIN
        setPairingPIN(pin);
        return Outcome::done;
    } catch (const std::exception& error) {
        setLastError(i18n::fill(i18n::tr("Could not open pairing: {1}"), {describe(error)}));
        return Outcome::failed;
    }
}

void HostCoordinator::endPairing() {
    server_->endPairing();
    setPairingPIN(std::nullopt);
}

void HostCoordinator::expirePairing() {
    server_->endPairing();
    if (!pairingPIN_) {
        return;
    }
    pairingExpired_ = true;
    pairingPIN_.reset();
    notify(Field::pairingPIN);
}

void HostCoordinator::disconnect(const std::string& deviceID) {
    server_->disconnect(deviceID);
}

HostCoordinator::Outcome HostCoordinator::unpair(const std::string& deviceID) {
    if (isScreenLocked_) {
        write(i18n::tr("[pairing] the screen is locked; no device unpaired"));
        return Outcome::screenLocked;
    }
    server_->disconnect(deviceID);
    try {
        store_->remove(deviceID);
    } catch (const std::exception&) {
        // The device stays listed; nothing to tell the user beyond that.
    }
    refreshDevices();
    return Outcome::done;
}

void HostCoordinator::refreshDevices() {
    std::vector<PairedDevice> list;
    std::optional<std::string> problem;
    try {
        list = store_->allDevices();
    } catch (const std::exception& error) {
        list.clear();
        problem = describe(error);
    }
    // Oldest pairing first; equal times keep the store's order.
    std::stable_sort(list.begin(), list.end(), [](const PairedDevice& a, const PairedDevice& b) {
        return a.pairedAt < b.pairedAt;
    });
    const bool any = !list.empty();
    setDevices(std::move(list), std::move(problem));
    if (any && services_.telemetry) {
        services_.telemetry->notePaired(true);
    }
}

void HostCoordinator::reportProblem(std::string text) {
    setLastError(std::move(text));
}

void HostCoordinator::probeGesture(wire::TrackpadGesture gesture) {
    write(diagnostics::gestureProbeLine(gesture));
    injector_->handle(wire::cm::Gesture{gesture});
}

void HostCoordinator::probeScroll() {
    const bool fast = services_.defaults.boolean("scrollProbeFast").value_or(false);
    write(diagnostics::scrollProbeStartLine(fast));
    injector_->resetScrollStats();
    std::weak_ptr<HostCoordinator> weak = weak_from_this();
    std::weak_ptr<EventInjector> weakInjector = injector_;
    injector_->probeScroll(fast, [weak, weakInjector, fast] {
        auto self = weak.lock();
        auto injector = weakInjector.lock();
        if (!self || !injector) {
            return;
        }
        const auto [total, peak] = injector->scrollStats();
        write(diagnostics::scrollProbeEndLine(fast, peak, total));
    });
}

void HostCoordinator::scheduleLaunchProbes() {
    auto& defaults = services_.defaults;
    std::weak_ptr<HostCoordinator> weak = weak_from_this();
    if (const auto gesture =
            diagnostics::launchProbeGesture(defaults.string("gestureProbeOnLaunch"))) {
        services_.mainQueue->postAfter(kLaunchProbeDelay, [weak, g = *gesture] {
            if (auto self = weak.lock()) {
                self->probeGesture(g);
            }
        });
    }
    if (defaults.boolean("scrollProbeOnLaunch").value_or(false)) {
        services_.mainQueue->postAfter(kLaunchProbeDelay, [weak] {
            if (auto self = weak.lock()) {
                self->probeScroll();
            }
        });
    }
}

// MARK: transport delegate (transport queue)

void HostCoordinator::didAccept(const PairedDevice& device) {
    handleAccept(device, HostChannel::wifi);
}

void HostCoordinator::didReceive(const wire::ControlMessage& message, const std::string& deviceID) {
    dispatch(message, deviceID);
}

void HostCoordinator::didReceiveBurst(std::span<const wire::ControlMessage> messages,
                                      const std::string& deviceID) {
    dispatchBurst(messages, deviceID);
}

void HostCoordinator::didDisconnect(const std::string& deviceID) {
    postToMain(
        [deviceID](HostCoordinator& self) { self.handleDisconnect(deviceID, HostChannel::wifi); });
}

void HostCoordinator::didPair(const PairedDevice&) {
    // The coordinator ends the spent window, on main where the user opens and closes windows:
    // a window opened again before this runs is still open on the server and stays, with its
    // PIN.
    postToMain([](HostCoordinator& self) {
        if (self.server_->endPairingIfSpent()) {
            self.setPairingPIN(std::nullopt);
        }
        // The wrong PINs before it are history now.
        self.clearNotice([](const HostNotice& n) { return n.kind == HostNotice::Kind::wrongPIN; });
        self.refreshDevices();
        if (self.services_.telemetry) {
            self.services_.telemetry->bump("pair");
        }
    });
}

void HostCoordinator::didRefuse(const TransportRefusal& refusal) {
    if (refusal.kind == TransportRefusal::Kind::noRoom) {
        // A flood, not a tablet: the log hears of it (already summed up by the transport), the
        // user's console does not.
        const std::string count = std::to_string(refusal.count);
        write(refusal.source.empty()
                  ? i18n::fill(i18n::tr("[connect] no room among the connections waiting to "
                                        "prove themselves ({1}): {2} turned away"),
                               {refusal.channel, count})
                  : i18n::fill(i18n::tr("[connect] no room among the connections waiting to "
                                        "prove themselves ({1}): {2} turned away, the last "
                                        "from {3}"),
                               {refusal.channel, count, platform::safeText(refusal.source, 64)}));
        return;
    }
    HostNotice notice;
    if (refusal.kind == TransportRefusal::Kind::wrongPIN) {
        notice.kind = HostNotice::Kind::wrongPIN;
        notice.source = refusal.source;
    } else {
        notice = noticeFor(refusal.code, refusal.reason, HostChannel::wifi, refusal.source);
    }
    write(logLine(notice));
    postToMain([notice = std::move(notice)](HostCoordinator& self) mutable {
        self.publishNotice(std::move(notice));
    });
}

void HostCoordinator::didFail(const TransportError& error) {
    postToMain([text = error.description()](HostCoordinator& self) { self.setLastError(text); });
}

// MARK: shared paths

void HostCoordinator::handleAccept(const PairedDevice& device, HostChannel channel) {
    write(i18n::fill(i18n::tr("[connect] device attached: {1} ({2})"),
                     {platform::safeText(device.deviceName, 128), rawValue(channel)}));
    postToMain([device, channel](HostCoordinator& self) {
        const std::string& id = device.deviceID;
        switch (self.arbiter_.admit(id, channel)) {
        case AdmitDecision::reject:
            write(
                i18n::fill(i18n::tr("[connect] refused {1}: USB is in use"), {rawValue(channel)}));
            if (channel == HostChannel::wifi) {
                self.server_->disconnect(id);
            }
            return;
        case AdmitDecision::acceptAndDropWiFi:
            write(i18n::tr("[connect] USB takes over; closing the same device's Wi-Fi session"));
            self.server_->disconnect(id);
            break;
        case AdmitDecision::accept:
            break;
        }
        if (self.services_.telemetry) {
            self.services_.telemetry->bump(std::string("connect_") + rawValue(channel));
        }
        if (std::find(self.connectedIDs_.begin(), self.connectedIDs_.end(), id) ==
            self.connectedIDs_.end()) {
            auto ids = self.connectedIDs_;
            ids.push_back(id);
            self.setConnectedIDs(std::move(ids));
        }
        self.setActiveChannel(self.arbiter_.dominantChannel());
        // A device got in on this channel: a refusal there is no longer the news.
        self.clearNotice([channel](const HostNotice& n) {
            return n.kind != HostNotice::Kind::wrongPIN && n.channel == channel;
        });
        self.refreshDevices();
    });
}

void HostCoordinator::handleDisconnect(const std::string& deviceID, HostChannel channel) {
    const auto current = arbiter_.channel(deviceID);
    if (current && *current != channel) {
        return; // the close of a superseded session: the live one keeps its keys
    }
    write(i18n::fill(
        i18n::tr("[disconnect] device disconnected: {1} ({2}) — releasing every held key"),
        {deviceID, rawValue(channel)}));
    lanes_->clear(deviceID); // nothing of a gone device is typed after its keys are released
    injector_->releaseAll();
    arbiter_.remove(deviceID, channel);
    auto ids = connectedIDs_;
    std::erase(ids, deviceID);
    setConnectedIDs(std::move(ids));
    setActiveChannel(arbiter_.dominantChannel());
    refreshDevices();
}

void HostCoordinator::dispatch(const wire::ControlMessage& message, const std::string& deviceID) {
    if (injectNow(message, deviceID, EventInjector::Flush::now) == Injected::pending) {
        injector_->flush();
    }
}

namespace {
// Short input: the immediate messages but a text longer than one piece.
bool isShortInput(const wire::ControlMessage& m) {
    if (!isImmediateInput(m)) {
        return false;
    }
    const auto* text = m.getIf<wire::cm::TextInput>();
    return text == nullptr || textPieceEnd(text->text, 0) == text->text.size();
}
} // namespace

HostCoordinator::Injected HostCoordinator::injectNow(const wire::ControlMessage& message,
                                                     const std::string& deviceID,
                                                     EventInjector::Flush flush) {
    // The catalog's requests are no input: they keep no order with it.
    if (message.is<wire::cm::ActivateApplication>() || message.is<wire::cm::ListApplications>()) {
        postToMain([message, deviceID](HostCoordinator& self) { self.receive(message, deviceID); });
        return Injected::no;
    }
    std::weak_ptr<HostCoordinator> weak = weak_from_this();
    if (!isImmediateInput(message)) {
        // Main-thread input (multiClick, modes, sticky modifiers) takes its place in the
        // device's lane: what the device sent after it waits for it.
        lanes_->submit(deviceID, {InputLanes::Where::main,
                                  [weak, message, deviceID] {
                                      if (auto self = weak.lock()) {
                                          self->receive(message, deviceID);
                                      }
                                      return true;
                                  },
                                  0});
        return Injected::no;
    }
    if (!inputGate_->isOpen()) {
        return Injected::no; // locked: dropped without a word
    }
    if (isShortInput(message)) {
        if (lanes_->quiet()) {
            // The common case: no device has input waiting anywhere, so this message keeps its
            // order by going out at once on the delivering thread, without a lane entry (no
            // lock, no allocation beyond the injector's own lock).
            inject(message, flush);
            return flush == EventInjector::Flush::now ? Injected::flushed : Injected::pending;
        }
        lanes_->submit(deviceID, {InputLanes::Where::anywhere,
                                  [weak, message] {
                                      if (auto self = weak.lock()) {
                                          self->inject(message, EventInjector::Flush::now);
                                      }
                                      return true;
                                  },
                                  0});
        return Injected::no;
    }
    // Long text: typed a piece per turn on the input worker, the gate looked at before each
    // piece, so a lock stops it at once and other devices' input passes between pieces.
    const auto& text = *message.getIf<wire::cm::TextInput>();
    services_.diagnostics->logIncoming(message);
    auto whole = std::make_shared<const std::string>(text.text);
    auto offset = std::make_shared<std::size_t>(0);
    const bool accepted = lanes_->submit(
        deviceID,
        {InputLanes::Where::worker,
         [weak, whole, offset] {
             auto self = weak.lock();
             if (!self || !self->inputGate_->isOpen()) {
                 return true; // locked (or gone): the rest is dropped
             }
             const std::size_t end = textPieceEnd(*whole, *offset);
             const wire::ControlMessage piece =
                 wire::cm::TextInput{whole->substr(*offset, end - *offset)};
             self->services_.diagnostics->timeInjection([&] { self->injector_->handle(piece); });
             *offset = end;
             return end >= whole->size();
         },
         whole->size()});
    if (!accepted) {
        write(i18n::fill(i18n::tr("[error] device {1} has too much text waiting to be typed; "
                                  "dropping {2} bytes"),
                         {platform::safeText(deviceID, 64), std::to_string(whole->size())}));
    }
    return Injected::no;
}

void HostCoordinator::inject(const wire::ControlMessage& message, EventInjector::Flush flush) {
    // Looked at again here: the lock may have come while the message waited in its lane.
    if (!inputGate_->isOpen()) {
        return;
    }
    auto& diagnostics = *services_.diagnostics;
    diagnostics.logIncoming(message);
    diagnostics.timeInjection([&] { injector_->handle(message, flush); });
}

void HostCoordinator::dispatchBurst(std::span<const wire::ControlMessage> messages,
                                    const std::string& deviceID) {
    // The display server hears the burst's input once, after its last message: each message
    // that goes out at once leaves the flush to the next one that does.
    bool pending = false;
    std::size_t i = 0;
    while (i < messages.size()) {
        if (!lanes_->quiet() && isShortInput(messages[i])) {
            // Input is waiting in some lane: consecutive short input goes into the device's
            // lane as one step, so a burst of a thousand moves pays for one entry, not a
            // thousand.
            std::size_t end = i;
            while (end < messages.size() && isShortInput(messages[end])) {
                ++end;
            }
            if (end - i >= 2) {
                if (inputGate_->isOpen()) {
                    auto run = std::make_shared<const std::vector<wire::ControlMessage>>(
                        messages.begin() + static_cast<std::ptrdiff_t>(i),
                        messages.begin() + static_cast<std::ptrdiff_t>(end));
                    std::weak_ptr<HostCoordinator> weak = weak_from_this();
                    lanes_->submit(deviceID,
                                   {InputLanes::Where::anywhere,
                                    [weak, run] {
                                        if (auto self = weak.lock()) {
                                            for (std::size_t k = 0; k < run->size(); ++k) {
                                                // Each looks at the gate; the last flushes.
                                                self->inject((*run)[k],
                                                             k + 1 == run->size()
                                                                 ? EventInjector::Flush::now
                                                                 : EventInjector::Flush::later);
                                            }
                                        }
                                        return true;
                                    },
                                    0});
                }
                i = end;
                continue;
            }
        }
        const bool nextGoesOut = i + 1 < messages.size() && isShortInput(messages[i + 1]);
        switch (injectNow(messages[i], deviceID,
                          nextGoesOut ? EventInjector::Flush::later : EventInjector::Flush::now)) {
        case Injected::pending:
            pending = true;
            break;
        case Injected::flushed:
            pending = false;
            break;
        case Injected::no:
            break;
        }
        ++i;
    }
    if (pending) {
        injector_->flush(); // the message meant to flush went into a lane instead
    }
}

void HostCoordinator::receive(const wire::ControlMessage& message, const std::string& deviceID) {
    if (isScreenLocked_) {
        return;
    }
    services_.diagnostics->logIncoming(message);
    if (const auto* activate = message.getIf<wire::cm::ActivateApplication>()) {
        if (appSwitching_) {
            appSwitching_->activate(activate->bundleID);
        }
        return;
    }
    if (message.is<wire::cm::ListApplications>()) {
        requestApplicationList(deviceID);
        return;
    }
    injector_->handle(message);
}

void HostCoordinator::requestApplicationList(const std::string& deviceID) {
    if (!appSwitching_) {
        return;
    }
    // One list in flight per device: repeated requests while it is being built are answered by
    // it (the request is idempotent), so a client cannot queue list after list.
    if (!listsInFlight_.insert(deviceID).second) {
        return;
    }
    std::weak_ptr<HostCoordinator> weak = weak_from_this();
    // The catalog answers on its own worker; the reply is routed on the main queue by the
    // arbiter's entry at that moment.
    appSwitching_->listApplications(
        [weak, mainQueue = services_.mainQueue, deviceID](std::vector<wire::AppEntry> entries) {
            mainQueue->post([weak, deviceID, entries = std::move(entries)]() mutable {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                self->listsInFlight_.erase(deviceID);
                const wire::ControlMessage reply = wire::cm::ApplicationList{std::move(entries)};
                if (self->arbiter_.channel(deviceID) == HostChannel::usb) {
                    self->usb().send(reply);
                } else {
                    self->server_->send(reply, deviceID);
                }
            });
        });
}

// MARK: screen lock

void HostCoordinator::handleLock() {
    write(i18n::tr("[lock] screen locked — releasing keys, closing every connection, stopping "
                   "the listeners"));
    setScreenLocked(true);
    lanes_->clearAll();
    injector_->releaseAll();
    setConnectedIDs({});
    arbiter_ = ChannelArbiter();
    setActiveChannel(std::nullopt);
    // One trip to the transport: sessions, listeners and the pairing window end together.
    server_->stop();
    setPairingPIN(std::nullopt);
    usb().stop();
}

void HostCoordinator::handleUnlock() {
    if (!isScreenLocked_) {
        // An unlock without a lock we acted on (a missed or repeated broadcast): the listeners
        // already run, and starting them again would replace live ones.
        return;
    }
    write(i18n::tr("[unlock] screen unlocked — resuming the listeners"));
    try {
        server_->start();
    } catch (const std::exception& error) {
        setLastError(i18n::fill(i18n::tr("Could not resume listening after unlock: {1}"),
                                {describe(error)}));
        return; // still locked, input still gated, USB still stopped
    }
    usb().start();
    clearLastError();
    setScreenLocked(false);
}

} // namespace quillon
