// test-labels: wire
#include "WireProtocol/PSKProvider.hpp"
#include "WireProtocol/ServiceConstants.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <vector>

using namespace quillon::wire;

namespace {

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes range(int from, int to) { // [from, to)
    Bytes out;
    for (int b = from; b < to; ++b) {
        out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
}

TEST(HKDF, RFC5869SHA256Vectors) {
    struct Case {
        const char* name;
        Bytes ikm, salt, info;
        std::size_t length;
        const char* okm;
    };
    const Case cases[] = {
        {"case 1", Bytes(22, 0x0B), range(0x00, 0x0D), range(0xF0, 0xFA), 42,
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {"case 2", range(0x00, 0x50), range(0x60, 0xB0), range(0xB0, 0x100), 82,
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41"
         "c65e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {"case 3 (empty salt and info)",
         Bytes(22, 0x0B),
         {},
         {},
         42,
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PSKProvider::hkdfSHA256(c.ikm, c.salt, c.info, c.length), fromHex(c.okm));
    }
}

// Known answers computed once, independently of this code, with Python's hmac and hashlib:
//   prk = hmac.new(salt or bytes(32), ikm, sha256).digest()
//   okm = hmac.new(prk, info + b"\x01", sha256).digest()
TEST(HKDF, DerivedKeysMatchKnownAnswers) {
    const Bytes salt = range(0x00, 0x10);   // 00 01 ... 0F
    const Bytes secret = range(0x00, 0x20); // 00 01 ... 1F

    const SymmetricKey pairing = PSKProvider::pairingKey("123456", salt);
    EXPECT_EQ(PSKProvider::keyBytes(pairing),
              fromHex("942f6deaddb17017751acbc16a1d69f31c1a65c015eea8541c945298e55ae665"));
    EXPECT_EQ(PSKProvider::keyBytes(PSKProvider::pairingKey("123457", salt)),
              fromHex("723dfb9220ae3b1327dcc2b90c15b373118d4cee0b42857c1f1e27a0d1ebcb4c"));
    EXPECT_EQ(PSKProvider::pairingKey("123456", salt), pairing); // same on every call

    Bytes flipped = salt;
    flipped[15] ^= 0x01;
    EXPECT_NE(PSKProvider::pairingKey("123456", flipped), pairing);

    const SymmetricKey session = PSKProvider::sessionKey(secret);
    EXPECT_EQ(PSKProvider::keyBytes(session),
              fromHex("39c06c29375b1b788480457a0a36eb470951432ee665286f5573a9f885d66d97"));
    // An empty salt is the same as 32 zero bytes.
    EXPECT_EQ(PSKProvider::keyBytes(session),
              PSKProvider::hkdfSHA256(secret, Bytes(32, 0), toBytes("corvane-session-v1"), 32));
}

// A scripted random source: hands out the given rounds in order and records each request.
struct ScriptedSource {
    std::vector<Bytes> rounds;
    std::vector<std::size_t> requests;

    PSKProvider::RandomSource source() {
        return [this](std::uint8_t* out, std::size_t count) {
            ASSERT_LT(requests.size(), rounds.size()) << "asked for more rounds than scripted";
            const Bytes& round = rounds[requests.size()];
            requests.push_back(count);
            for (std::size_t i = 0; i < count; ++i) {
                out[i] = i < round.size() ? round[i] : 0;
            }
        };
    }
};

TEST(RandomPIN, DigitsFromInjectedBytes) {
    const Bytes rejects = {250, 251, 252, 253, 254, 255, 250, 251, 252, 253, 254, 255};
    struct Case {
        const char* name;
        std::vector<Bytes> rounds;
        const char* pin;
    };
    const Case cases[] = {
        {"byte mod 10 in order, 250+ skipped without a gap",
         {{13, 249, 0, 250, 255, 7, 1, 2, 99, 99, 99, 99}},
         "390712"},
        {"stops at six digits", {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}, "012345"},
        {"a round of rejects contributes nothing", {rejects, {10, 21, 32, 43, 54, 65}}, "012345"},
        {"a short round continues in the next",
         {{1, 2, 250, 3, 251, 4, 252, 5, 253, 254, 255, 250}, {96, 97, 98, 99, 0, 0}},
         "123456"},
        {"leading zeros kept", {{0, 10, 20, 30, 40, 50, 0, 0, 0, 0, 0, 0}}, "000000"},
        {"199 and 249 map to 9", {{199, 249, 9, 19, 29, 39, 0, 0, 0, 0, 0, 0}}, "999999"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSource s{c.rounds, {}};
        EXPECT_EQ(PSKProvider::randomPIN(s.source()), c.pin);
        EXPECT_EQ(s.requests, std::vector<std::size_t>(c.rounds.size(), 12));
    }
}

TEST(RandomPIN, SystemSourceGivesSixDigits) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string pin = PSKProvider::randomPIN();
        ASSERT_EQ(pin.size(), 6u);
        for (char c : pin) {
            ASSERT_TRUE(c >= '0' && c <= '9') << pin;
        }
        seen.insert(pin);
    }
    EXPECT_GT(seen.size(), 190u); // a million possibilities: repeats are rare
}

TEST(RandomBytes, SizesAndFreshness) {
    EXPECT_TRUE(PSKProvider::randomBytes(0).empty());
    EXPECT_EQ(PSKProvider::randomSalt().size(), 16u);
    EXPECT_EQ(PSKProvider::randomToken().size(),
              static_cast<std::size_t>(ServiceConstants::tokenByteCount));
    EXPECT_NE(PSKProvider::randomToken(), PSKProvider::randomToken());
    EXPECT_EQ(PSKProvider::randomBytes(100'000).size(), 100'000u);

    const std::string uuid = PSKProvider::randomUUIDString();
    ASSERT_EQ(uuid.size(), 36u);
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(uuid[i], '-');
        } else {
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(uuid[i])) &&
                        !std::islower(static_cast<unsigned char>(uuid[i])))
                << uuid;
        }
    }
    EXPECT_EQ(uuid[14], '4');
    EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
}

} // namespace
