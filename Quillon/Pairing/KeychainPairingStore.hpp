#pragma once

#include "Platform/Keychain/Keychain.hpp"
#include "Quillon/Pairing/PairingStore.hpp"

#include <memory>
#include <string>

namespace quillon {

// Paired devices and the host secret as keychain items of one service: one item per device
// (account = deviceID, data = the record's JSON) and the raw secret under "__host_secret__".
// Keeps no cache and no lock of its own; every call goes to the keychain, which serialises
// itself and is shared safely with other processes.
class KeychainPairingStore final : public PairingStore {
public:
    static constexpr const char* defaultService = "com.corvane.quillon.pairing";

    KeychainPairingStore(std::string service, std::shared_ptr<platform::Keychain> keychain);

    const std::string& service() const noexcept { return service_; }

    // Unreadable records are skipped; a keychain failure aborts the listing.
    std::vector<PairedDevice> allDevices() override;
    // Throws PairedDeviceDecodeError for an unreadable record, PairingStoreError otherwise.
    std::optional<PairedDevice> device(const std::string& id) override;
    void save(const PairedDevice& device) override;
    void remove(const std::string& id) override;
    void removeAll() override;
    // Created (32 random bytes) on first use and returned unchanged until removeAll().
    wire::Bytes hostSecret() override;

private:
    void write(const std::string& account, wire::ByteView bytes);
    std::optional<wire::Bytes> read(const std::string& account);

    std::string service_;
    std::shared_ptr<platform::Keychain> keychain_;
};

} // namespace quillon
