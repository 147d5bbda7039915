#include "Quillon/Pairing/InMemoryPairingStore.hpp"

#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"

namespace quillon {

std::vector<PairedDevice> InMemoryPairingStore::allDevices() {
    std::lock_guard guard(lock_);
    std::vector<PairedDevice> result;
    result.reserve(devices_.size());
    for (const auto& [id, device] : devices_) {
        result.push_back(device);
    }
    return result;
}

std::optional<PairedDevice> InMemoryPairingStore::device(const std::string& id) {
    std::lock_guard guard(lock_);
    if (auto it = devices_.find(id); it != devices_.end()) {
        return it->second;
    }
    return std::nullopt;
}

void InMemoryPairingStore::save(const PairedDevice& device) {
    if (device.deviceID == kHostSecretAccount) {
        throw PairingStoreError::reservedDeviceID();
    }
    std::lock_guard guard(lock_);
    devices_.insert_or_assign(device.deviceID, device);
}

void InMemoryPairingStore::remove(const std::string& id) {
    std::lock_guard guard(lock_);
    devices_.erase(id);
}

void InMemoryPairingStore::removeAll() {
    std::lock_guard guard(lock_);
    devices_.clear();
    secret_.reset();
}

wire::Bytes InMemoryPairingStore::hostSecret() {
    std::lock_guard guard(lock_);
    if (!secret_) {
        secret_ = wire::PSKProvider::randomBytes(
            static_cast<std::size_t>(wire::ServiceConstants::tokenByteCount));
    }
    return *secret_;
}

} // namespace quillon
