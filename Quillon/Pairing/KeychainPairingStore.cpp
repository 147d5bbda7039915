#include "Quillon/Pairing/KeychainPairingStore.hpp"

#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"

namespace quillon {

using S = platform::KeychainStatus;

namespace {
[[noreturn]] void throwStatus(platform::KeychainStatus status) {
    throw PairingStoreError::keychain(status, platform::Keychain::lastErrorDetail());
}
} // namespace

KeychainPairingStore::KeychainPairingStore(std::string service,
                                           std::shared_ptr<platform::Keychain> keychain)
    : service_(std::move(service)), keychain_(std::move(keychain)) {}

void KeychainPairingStore::write(const std::string& account, wire::ByteView bytes) {
    // Update, else add with the device-only, unlocked-only class, as one transaction: a
    // concurrent writer of the same account cannot make the add fail as a duplicate.
    const platform::KeychainStatus status = keychain_->write(
        service_, account, bytes, platform::KeychainAccessibility::whenUnlockedThisDeviceOnly);
    if (status != S::success) {
        throwStatus(status);
    }
}

std::optional<wire::Bytes> KeychainPairingStore::read(const std::string& account) {
    wire::Bytes data;
    const platform::KeychainStatus status = keychain_->copyData(service_, account, data);
    if (status == S::itemNotFound) {
        return std::nullopt;
    }
    if (status != S::success) {
        throwStatus(status);
    }
    return data;
}

std::vector<PairedDevice> KeychainPairingStore::allDevices() {
    std::vector<platform::KeychainItemAttributes> items;
    const platform::KeychainStatus status = keychain_->copyAllAttributes(service_, items);
    if (status == S::itemNotFound) {
        return {};
    }
    if (status != S::success) {
        throwStatus(status);
    }
    std::vector<PairedDevice> devices;
    devices.reserve(items.size());
    for (const auto& item : items) {
        if (item.account == kHostSecretAccount) {
            continue;
        }
        const auto data = read(item.account); // a failure aborts the whole listing
        if (!data) {
            continue; // removed since the listing
        }
        try {
            devices.push_back(decodePairedDevice(
                std::string_view(reinterpret_cast<const char*>(data->data()), data->size())));
        } catch (const PairedDeviceDecodeError&) {
            // An unreadable record stays stored but is invisible here; device(id:) reports it.
        }
    }
    return devices;
}

std::optional<PairedDevice> KeychainPairingStore::device(const std::string& id) {
    const auto data = read(id);
    if (!data) {
        return std::nullopt;
    }
    return decodePairedDevice(
        std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

void KeychainPairingStore::save(const PairedDevice& device) {
    if (device.deviceID == kHostSecretAccount) {
        throw PairingStoreError::reservedDeviceID();
    }
    const std::string json = encodePairedDevice(device);
    write(device.deviceID, wire::toBytes(json));
}

void KeychainPairingStore::remove(const std::string& id) {
    const platform::KeychainStatus status = keychain_->remove(service_, id);
    if (status != S::success && status != S::itemNotFound) {
        throwStatus(status);
    }
}

void KeychainPairingStore::removeAll() {
    const platform::KeychainStatus status = keychain_->remove(service_, std::nullopt);
    if (status != S::success && status != S::itemNotFound) {
        throwStatus(status);
    }
}

wire::Bytes KeychainPairingStore::hostSecret() {
    // Created with add rather than the usual write: when two processes (or threads) ask for the
    // first time at once, the loser's add finds the winner's secret and returns that, so every
    // caller ends up with the one stored secret instead of one that was overwritten.
    for (int attempt = 0;; ++attempt) {
        if (auto existing = read(kHostSecretAccount)) {
            return *existing; // as stored, whatever its length
        }
        wire::Bytes secret = wire::PSKProvider::randomBytes(
            static_cast<std::size_t>(wire::ServiceConstants::tokenByteCount));
        const platform::KeychainStatus status =
            keychain_->add(service_, kHostSecretAccount, secret,
                           platform::KeychainAccessibility::whenUnlockedThisDeviceOnly);
        if (status == S::success) {
            return secret;
        }
        // A duplicate means another writer got there first: read its secret. Give up only if
        // it keeps vanishing again (a removeAll() racing every time).
        if (status != S::duplicateItem || attempt == 2) {
            throwStatus(status);
        }
    }
}

} // namespace quillon
