#include "Quillon/Pairing/PairingStore.hpp"

#include "Platform/Keychain/Keychain.hpp"
#include "Platform/Locale/Translation.hpp"

namespace quillon {

PairingStoreError::PairingStoreError(Kind kind, platform::KeychainStatus status,
                                     const std::string& detail)
    : kind_(kind), status_(status) {
    switch (kind) {
    case Kind::keychain:
        text_ = i18n::fill(i18n::tr("pairing store error {1}: {2}"),
                           {std::string(platform::Keychain::statusName(status)),
                            platform::Keychain::statusMessage(status)});
        if (!detail.empty()) {
            text_ += " (" + detail + ")";
        }
        break;
    case Kind::reservedDeviceID:
        text_ = std::string("the device identifier \"") + kHostSecretAccount +
                "\" is reserved for the host secret";
        break;
    }
}

namespace ConstantTime {

bool equal(wire::ByteView a, wire::ByteView b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    // volatile keeps the compiler from turning the loop into an early-exit comparison.
    volatile std::uint8_t accumulator = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        accumulator = accumulator | static_cast<std::uint8_t>(a[i] ^ b[i]);
    }
    return accumulator == 0;
}

} // namespace ConstantTime

} // namespace quillon
