#pragma once

// Shared pieces of the network transport tests: a pairing store that can be told to fail, a
// delegate that records what it hears, and a client that pairs and says hello.

#include "Quillon/Pairing/PairingSession.hpp"
#include "Quillon/Pairing/PairingStore.hpp"
#include "Quillon/Transport/TransportServer.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"
#include "WireProtocol/WireClient.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace quillon::testing {

class TestPairingStore : public PairingStore {
public:
    std::vector<PairedDevice> allDevices() override {
        std::lock_guard lock(mutex_);
        std::vector<PairedDevice> out;
        for (const auto& [id, d] : devices_) {
            out.push_back(d);
        }
        return out;
    }
    std::optional<PairedDevice> device(const std::string& id) override {
        std::lock_guard lock(mutex_);
        auto it = devices_.find(id);
        return it == devices_.end() ? std::nullopt : std::optional<PairedDevice>(it->second);
    }
    void save(const PairedDevice& device) override {
        if (failSaves) {
            throw PairingStoreError::keychain(platform::KeychainStatus::databaseBusy);
        }
        std::lock_guard lock(mutex_);
        devices_[device.deviceID] = device;
    }
    void remove(const std::string& id) override {
        std::lock_guard lock(mutex_);
        devices_.erase(id);
    }
    void removeAll() override {
        std::lock_guard lock(mutex_);
        devices_.clear();
        secret_.clear();
    }
    wire::Bytes hostSecret() override {
        if (failSecret) {
            throw PairingStoreError::keychain(platform::KeychainStatus::databaseCantOpen);
        }
        std::lock_guard lock(mutex_);
        if (secret_.empty()) {
            secret_ = wire::PSKProvider::randomBytes(32);
        }
        return secret_;
    }

    std::atomic<bool> failSaves{false};
    std::atomic<bool> failSecret{false};

private:
    std::mutex mutex_;
    std::map<std::string, PairedDevice> devices_;
    wire::Bytes secret_;
};

// Records every delegate call as a line ("accept ID", "receive ID <description>",
// "disconnect ID", "pair ID", "fail <description>").
class RecordingDelegate : public TransportServerDelegate {
public:
    void didAccept(const PairedDevice& device) override {
        if (onAccept) {
            onAccept(device);
        }
        add("accept " + device.deviceID);
    }
    void didReceive(const wire::ControlMessage& message, const std::string& deviceID) override {
        add("receive " + deviceID + " " + message.description());
    }
    // Each burst's size is kept apart; its messages are recorded one by one as above.
    void didReceiveBurst(std::span<const wire::ControlMessage> messages,
                         const std::string& deviceID) override {
        {
            std::lock_guard lock(mutex_);
            bursts_.push_back(messages.size());
        }
        TransportServerDelegate::didReceiveBurst(messages, deviceID);
    }
    void didDisconnect(const std::string& deviceID) override { add("disconnect " + deviceID); }
    void didPair(const PairedDevice& device) override { add("pair " + device.deviceID); }
    void didFail(const TransportError& error) override { add("fail " + error.description()); }

    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::size_t> burstSizes() const {
        std::lock_guard lock(mutex_);
        return bursts_;
    }
    // Waits until at least `count` events arrived.
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    }
    std::size_t count(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& e : events_) {
            n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }

    std::function<void(const PairedDevice&)> onAccept; // runs on the server's queue

private:
    void add(std::string line) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(line));
        }
        cv_.notify_all();
    }
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
    std::vector<std::size_t> bursts_;
};

// What a tablet keeps after pairing.
struct PairedCredentials {
    std::string deviceID;
    wire::Bytes token;
    wire::Bytes hostSecret;
};

inline wire::Bytes openWindowSalt(TransportServer& server) {
    const auto state = server.pairingState();
    const auto* open = std::get_if<PairingSession::Open>(&state);
    return open != nullptr ? open->salt : wire::Bytes{};
}

inline std::unique_ptr<wire::WireClient> connectPairing(TransportServer& server,
                                                        const std::string& pin,
                                                        const wire::Bytes& salt,
                                                        wire::WireClient::Options options = {}) {
    return wire::WireClient::connect("127.0.0.1", *server.pairingPort(),
                                     wire::PSKProvider::pairingKey(pin, salt),
                                     wire::ServiceConstants::pairingIdentity, options);
}

inline std::unique_ptr<wire::WireClient> connectMain(TransportServer& server,
                                                     const wire::Bytes& hostSecret,
                                                     wire::WireClient::Options options = {},
                                                     const std::string& host = "127.0.0.1") {
    return wire::WireClient::connect(host, *server.mainPort(),
                                     wire::PSKProvider::sessionKey(hostSecret),
                                     wire::ServiceConstants::sessionIdentity, options);
}

inline wire::cm::Hello helloFor(const PairedCredentials& c, std::uint16_t version = 2) {
    return wire::cm::Hello{c.deviceID, c.token, "Test iPad", version};
}

} // namespace quillon::testing
