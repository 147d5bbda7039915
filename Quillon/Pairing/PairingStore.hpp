#pragma once

#include "Platform/Keychain/Keychain.hpp"
#include "Quillon/Pairing/PairedDevice.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

// The account under which the host secret lives beside the device records; never a device.
inline constexpr const char* kHostSecretAccount = "__host_secret__";

class PairingStoreError : public std::exception {
public:
    enum class Kind { keychain, reservedDeviceID };

    static PairingStoreError keychain(platform::KeychainStatus status) {
        return PairingStoreError(Kind::keychain, status);
    }
    // The same error with what the keychain knows about the failure (for instance which file
    // was refused and why) appended to the text. Equality still compares kind and status only.
    static PairingStoreError keychain(platform::KeychainStatus status, const std::string& detail) {
        return PairingStoreError(Kind::keychain, status, detail);
    }
    static PairingStoreError reservedDeviceID() {
        return PairingStoreError(Kind::reservedDeviceID, platform::KeychainStatus::success);
    }

    Kind kind() const noexcept { return kind_; }
    platform::KeychainStatus status() const noexcept { return status_; }
    const char* what() const noexcept override { return text_.c_str(); }
    bool operator==(const PairingStoreError& o) const noexcept {
        return kind_ == o.kind_ && status_ == o.status_;
    }

private:
    PairingStoreError(Kind kind, platform::KeychainStatus status, const std::string& detail = {});
    Kind kind_;
    platform::KeychainStatus status_;
    std::string text_;
};

// Paired devices and the host secret. Implementations are shared objects used from several
// threads; every operation may throw.
class PairingStore {
public:
    virtual ~PairingStore() = default;
    virtual std::vector<PairedDevice> allDevices() = 0;
    virtual std::optional<PairedDevice> device(const std::string& id) = 0;
    virtual void save(const PairedDevice& device) = 0;
    virtual void remove(const std::string& id) = 0;
    virtual void removeAll() = 0;
    virtual wire::Bytes hostSecret() = 0;
};

namespace ConstantTime {
// Equal lengths and equal bytes, without stopping at the first difference.
bool equal(wire::ByteView a, wire::ByteView b) noexcept;
} // namespace ConstantTime

} // namespace quillon
