#include "Quillon/Transport/USBTransportManager.hpp"

#include "Platform/Diagnostics/DiagLog.hpp"
#include "Platform/Dispatch/SerialQueue.hpp"
#include "Platform/Locale/Translation.hpp"
#include "Quillon/Transport/Connection.hpp"
#include "Quillon/Transport/HelloAck.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <algorithm>
#include <mutex>

#include <sys/socket.h>
#include <unistd.h>

namespace quillon {

namespace {

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

// The I/O queue's side of the transport: the cable's connection (one at a time) and what it
// reports. Everything here but the events' setter runs on the I/O queue.
struct USBTransportManager::Cable : ConnectionOwner {
    Cable(std::shared_ptr<PairingStore> s, const USBTransportOptions& options)
        : store(std::move(s)), limits{options.replies, options.writeStallLimit},
          services{*store, systemNow,
                   [display = options.display] { return helloAckFor(display.get()); }, nullptr,
                   nullptr} {}

    std::shared_ptr<PairingStore> store;
    struct {
        ReplyQueue::Limits replies;
        std::chrono::milliseconds writeStall;
    } limits;
    SessionServices services;
    ConnectionBuffers buffers;
    std::weak_ptr<USBTransportManager> manager;

    mutable std::mutex eventsMutex;
    std::weak_ptr<TransportEvents> eventsRef;

    std::shared_ptr<Connection> live;
    std::uint64_t liveGeneration = 0;

    std::shared_ptr<TransportEvents> events() const {
        std::lock_guard lock(eventsMutex);
        return eventsRef.lock();
    }

    // The stream usbmuxd handed over becomes the cable's connection.
    void open(int fd, std::uint64_t generation, asio::io_context& io) {
        Connection::Socket socket(io);
        std::error_code ec;
        socket.assign(asio::generic::stream_protocol(AF_UNIX, 0), fd, ec);
        if (ec) {
            ::close(fd);
            closed(generation);
            return;
        }
        socket.non_blocking(true, ec);
        Connection::Options o;
        o.channel = SessionChannel::main;
        o.rules = SessionRules::usb();
        o.replies = limits.replies;
        o.writeStallLimit = limits.writeStall;
        try {
            live = Connection::create(std::move(socket), std::move(o), services, buffers, *this);
        } catch (const std::exception&) {
            closed(generation); // out of memory: the socket closed with the attempt
            return;
        }
        liveGeneration = generation;
        live->start();
    }

    void close(std::uint64_t generation) {
        if (live && liveGeneration == generation) {
            auto c = live;
            c->close();
        }
    }

    void letGo() {
        if (live) {
            auto c = std::move(live);
            c->closeQuietly();
        }
    }

    // Tells the poll queue the cable connection `generation` is over.
    void closed(std::uint64_t generation) {
        if (auto m = manager.lock()) {
            m->queue_->async([weak = manager, generation] {
                if (auto self = weak.lock()) {
                    self->cableClosed(generation);
                }
            });
        }
    }

    // ---- ConnectionOwner ----

    void connectionAdmitted(Connection&, const PairedDevice& device) override {
        if (auto e = events()) {
            e->transportAdmitted(device, HostChannel::usb);
        }
    }

    void connectionReceived(Connection&, std::span<const wire::ControlMessage> messages,
                            const std::string& deviceID) override {
        if (auto e = events()) {
            e->transportReceived(messages, deviceID, HostChannel::usb);
        }
    }

    void connectionRefused(Connection&, std::uint16_t code, const std::string& reason) override {
        if (auto e = events()) {
            TransportRefusal refusal;
            refusal.kind = TransportRefusal::Kind::refused;
            refusal.channel = HostChannel::usb;
            refusal.code = code;
            refusal.reason = reason;
            e->transportRefused(refusal);
        }
    }

    void connectionClosed(Connection& c) override {
        if (live.get() != &c) {
            return;
        }
        const auto generation = liveGeneration;
        const auto deviceID = c.session().deviceID();
        live.reset();
        if (deviceID) {
            if (auto e = events()) {
                e->transportClosed(*deviceID, HostChannel::usb);
            }
        }
        closed(generation);
    }
};

std::shared_ptr<USBTransportManager>
USBTransportManager::create(std::shared_ptr<PairingStore> store,
                            std::shared_ptr<platform::SerialQueue> io,
                            USBTransportOptions options) {
    std::shared_ptr<USBTransportManager> manager(
        new USBTransportManager(std::move(store), std::move(io), std::move(options)));
    manager->cable_->manager = manager;
    return manager;
}

USBTransportManager::USBTransportManager(std::shared_ptr<PairingStore> store,
                                         std::shared_ptr<platform::SerialQueue> io,
                                         USBTransportOptions options)
    : options_(std::move(options)), mux_(options_.mux), store_(std::move(store)),
      io_(std::move(io)), cable_(std::make_shared<Cable>(store_, options_)),
      queue_(std::make_unique<platform::SerialQueue>("quillon-usb")) {
    if (!options_.log) {
        options_.log = [](std::string_view line) { platform::DiagLog::write(line); };
    }
}

USBTransportManager::~USBTransportManager() {
    // Handlers hold the manager weakly and none can be running here (one that got hold of the
    // manager would keep it alive), so the state is ours. The poll thread goes first, then the
    // cable's connection is let go of on its queue: nothing more is reported.
    if (auto* c = std::get_if<Connected>(&state_)) {
        c->timer->cancel();
    } else if (auto* p = std::get_if<Polling>(&state_)) {
        p->timer->cancel();
    }
    queue_.reset();
    io_->sync([cable = cable_] { cable->letGo(); });
}

void USBTransportManager::setEvents(std::weak_ptr<TransportEvents> events) {
    std::lock_guard lock(cable_->eventsMutex);
    cable_->eventsRef = std::move(events);
}

void USBTransportManager::start() {
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !std::holds_alternative<Stopped>(self->state_)) {
            return;
        }
        auto timer = self->queue_->scheduleRepeating(std::chrono::nanoseconds(0),
                                                     self->options_.pollInterval, [weak] {
                                                         if (auto s = weak.lock()) {
                                                             s->poll();
                                                         }
                                                     });
        self->state_ = Polling{std::move(timer)};
    });
}

void USBTransportManager::stop() {
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || std::holds_alternative<Stopped>(self->state_)) {
            return;
        }
        std::visit(
            [](auto& s) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(s)>, Stopped>) {
                    s.timer->cancel();
                }
            },
            self->state_);
        self->dropCable();
        self->state_ = Stopped{};
    });
}

void USBTransportManager::send(const wire::ControlMessage& message) {
    io_->async([cable = std::weak_ptr<Cable>(cable_), message] {
        if (auto c = cable.lock(); c && c->live) {
            auto live = c->live;
            live->send(message);
        }
    });
}

USBTransportManager::Snapshot USBTransportManager::snapshot() {
    Snapshot out;
    queue_->sync([&] {
        out.started = !std::holds_alternative<Stopped>(state_);
        if (auto* c = std::get_if<Connected>(&state_)) {
            out.connectedDeviceID = c->deviceID;
        }
    });
    return out;
}

void USBTransportManager::poll() {
    if (std::holds_alternative<Stopped>(state_)) {
        return;
    }
    std::vector<platform::usbmux::USBMuxProtocol::Device> devices;
    try {
        devices = mux_.listUSBDevices();
    } catch (...) {
        // No daemon, a daemon that exited, or one that did not answer: no devices, quietly.
    }
    if (auto* c = std::get_if<Connected>(&state_)) {
        const bool listed = std::any_of(devices.begin(), devices.end(),
                                        [&](const auto& d) { return d.id == c->deviceID; });
        if (!listed) {
            dropCable();
        }
        return;
    }
    if (devices.empty()) {
        return;
    }
    bool anyonePaired = false;
    try {
        anyonePaired = !store_->allDevices().empty();
    } catch (...) {
    }
    if (!anyonePaired) {
        return; // nobody to admit
    }
    connectTo(devices.front().id);
}

void USBTransportManager::connectTo(std::int64_t deviceID) {
    int fd = -1;
    try {
        fd = mux_.connect(deviceID, wire::ServiceConstants::usbPort);
    } catch (const std::exception& e) {
        if (!hasLoggedRetrying_) {
            options_.log(i18n::fill(
                i18n::tr("[USB] polling for a device failed; retrying quietly: {1}"), {e.what()}));
            hasLoggedRetrying_ = true;
        }
        return;
    }
    const std::uint64_t generation = ++generations_;
    auto* polling = std::get_if<Polling>(&state_);
    state_ = Connected{polling->timer, deviceID, generation};
    io_->async([cable = std::weak_ptr<Cable>(cable_), io = std::weak_ptr(io_), fd, generation] {
        auto c = cable.lock();
        auto queue = io.lock();
        if (!c || !queue) {
            ::close(fd);
            return;
        }
        c->open(fd, generation, queue->context());
    });
    if (hasLoggedRetrying_) {
        options_.log(i18n::fill(i18n::tr("[USB] polling reached the device {1} again"),
                                {std::to_string(deviceID)}));
        hasLoggedRetrying_ = false;
    }
}

void USBTransportManager::dropCable() {
    if (auto* c = std::get_if<Connected>(&state_)) {
        const auto generation = c->generation;
        state_ = Polling{c->timer};
        io_->async([cable = std::weak_ptr<Cable>(cable_), generation] {
            if (auto c = cable.lock()) {
                c->close(generation);
            }
        });
    }
}

void USBTransportManager::cableClosed(std::uint64_t generation) {
    // Only the running connection's end changes the state: a connection dropped earlier
    // (unplugged, stopped) already left it.
    if (auto* c = std::get_if<Connected>(&state_); c != nullptr && c->generation == generation) {
        state_ = Polling{c->timer};
    }
}

} // namespace quillon
