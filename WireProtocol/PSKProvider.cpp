#include "WireProtocol/PSKProvider.hpp"

#include "WireProtocol/ServiceConstants.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace quillon::wire::PSKProvider {

namespace {

const Bytes& pairingInfo() {
    static const Bytes info = toBytes("corvane-pairing-v1");
    return info;
}
const Bytes& sessionInfo() {
    static const Bytes info = toBytes("corvane-session-v1");
    return info;
}

[[noreturn]] void randomSourceFailed() {
    // No key material may come from a partly filled buffer; nothing sensible can go on.
    std::fputs("quillon: the system random source failed; stopping\n", stderr);
    std::abort();
}

void systemRandom(std::uint8_t* out, std::size_t count) {
    while (count > 0) {
        const int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
        if (RAND_bytes(out, chunk) != 1) {
            randomSourceFailed();
        }
        out += chunk;
        count -= static_cast<std::size_t>(chunk);
    }
}

} // namespace

namespace {

// HKDF-SHA256 straight into `out`, so derived keys leave no stray copies in freed memory.
void deriveInto(ByteView ikm, ByteView salt, ByteView info, std::uint8_t* out, std::size_t length) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    if (kdf == nullptr) {
        throw std::runtime_error("HKDF is not available in this OpenSSL");
    }
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (ctx == nullptr) {
        throw std::runtime_error("HKDF context could not be created");
    }
    // An empty salt means HashLen zero bytes (RFC 5869); pass them explicitly, because
    // OpenSSL treats a zero-length salt parameter as "not given".
    static const std::uint8_t zeroSalt[32] = {};
    const ByteView effectiveSalt = salt.empty() ? ByteView(zeroSalt, sizeof zeroSalt) : salt;
    char digest[] = "SHA256";
    // Empty views may carry a null pointer, which OpenSSL reads as "parameter absent".
    static const std::uint8_t none[1] = {};
    const std::uint8_t* ikmData = ikm.empty() ? none : ikm.data();
    const std::uint8_t* infoData = info.empty() ? none : info.data();
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(ikmData),
                                          ikm.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                          const_cast<std::uint8_t*>(effectiveSalt.data()),
                                          effectiveSalt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<std::uint8_t*>(infoData),
                                          info.size()),
        OSSL_PARAM_construct_end(),
    };
    const int ok = EVP_KDF_derive(ctx, out, length, params);
    EVP_KDF_CTX_free(ctx);
    if (ok != 1) {
        OPENSSL_cleanse(out, length);
        throw std::runtime_error("HKDF derivation failed");
    }
}

} // namespace

Bytes hkdfSHA256(ByteView ikm, ByteView salt, ByteView info, std::size_t length) {
    Bytes out(length);
    deriveInto(ikm, salt, info, out.data(), out.size());
    return out;
}

SymmetricKey pairingKey(std::string_view pin, ByteView salt) {
    SymmetricKey key{};
    deriveInto(ByteView(reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size()), salt,
               pairingInfo(), key.data(), key.size());
    return key;
}

SymmetricKey sessionKey(ByteView secret) {
    SymmetricKey key{};
    deriveInto(secret, {}, sessionInfo(), key.data(), key.size());
    return key;
}

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    if (count > 0) {
        systemRandom(out.data(), count);
    }
    return out;
}

Bytes randomSalt() {
    return randomBytes(16);
}
Bytes randomToken() {
    return randomBytes(ServiceConstants::tokenByteCount);
}

std::string randomPIN(const RandomSource& source) {
    std::string pin;
    const auto digits = static_cast<std::size_t>(ServiceConstants::pinDigits);
    while (pin.size() < digits) {
        std::uint8_t round[12];
        source(round, sizeof round);
        for (std::uint8_t b : round) {
            if (b >= 250) {
                continue; // 250 = 25 x 10: rejecting the rest keeps every digit equally likely
            }
            pin += static_cast<char>('0' + b % 10);
            if (pin.size() == digits) {
                break;
            }
        }
    }
    return pin;
}

std::string randomPIN() {
    return randomPIN(systemRandom);
}

Bytes keyBytes(const SymmetricKey& key) {
    return Bytes(key.begin(), key.end());
}

std::string randomUUIDString() {
    std::uint8_t b[16];
    systemRandom(b, sizeof b);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

} // namespace quillon::wire::PSKProvider
