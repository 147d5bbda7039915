// test-labels: pairing
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Pairing/SessionGatekeeper.hpp"

#include <gtest/gtest.h>

namespace quillon {
namespace {

using wire::ControlMessage;
namespace cm = wire::cm;

constexpr double kNow = 1765360000.5;
const std::string kID = "9F1C7C2E-3B7A-4E55-9A0D-6E7A2B1C4D5F";

wire::Bytes token() {
    wire::Bytes t(32);
    for (std::size_t i = 0; i < t.size(); ++i) {
        t[i] = static_cast<std::uint8_t>(0xa0 + i);
    }
    return t;
}

PairedDevice storedDevice() {
    return PairedDevice{kID, "Stored iPad", token(), 1765000000.0, 1765100000.0};
}

// A store whose lookup fails, and that counts how often it was asked.
class FailingStore final : public PairingStore {
public:
    int lookups = 0;
    std::vector<PairedDevice> allDevices() override { throw PairingStoreError::keychain(platform::KeychainStatus::databaseError); }
    std::optional<PairedDevice> device(const std::string&) override {
        ++lookups;
        throw PairedDeviceDecodeError("unreadable record");
    }
    void save(const PairedDevice&) override { throw PairingStoreError::keychain(platform::KeychainStatus::databaseError); }
    void remove(const std::string&) override { throw PairingStoreError::keychain(platform::KeychainStatus::databaseError); }
    void removeAll() override { throw PairingStoreError::keychain(platform::KeychainStatus::databaseError); }
    wire::Bytes hostSecret() override { throw PairingStoreError::keychain(platform::KeychainStatus::databaseError); }
};

ControlMessage hello(std::uint16_t version, std::string id = kID, wire::Bytes t = token()) {
    return cm::Hello{std::move(id), std::move(t), "Whatever name", version};
}

SessionAdmission rejected(std::uint16_t code, std::string reason) {
    return SessionAdmission{SessionAdmission::Rejected{code, std::move(reason)}};
}

TEST(SessionGatekeeper, ChecksInOrderAndAnswersTheFixedCodesAndTexts) {
    const auto badFirst = rejected(400, "首个消息必须是 hello");
    const auto version = rejected(426, SessionGatekeeper::versionMismatchReason);
    const auto unknown = rejected(401, "未配对设备");
    const auto badToken = rejected(403, "凭据无效");

    wire::Bytes lastByte = token();
    lastByte.back() ^= 0x01;
    wire::Bytes firstByte = token();
    firstByte.front() ^= 0x80;
    wire::Bytes shorter = token();
    shorter.pop_back();
    wire::Bytes longer = token();
    longer.push_back(0);

    struct Case {
        const char* name;
        ControlMessage message;
        bool failingStore;
        SessionAdmission expected;
    };
    const Case cases[] = {
        {"heartbeat first", cm::Heartbeat{}, false, badFirst},
        {"pairRequest first", cm::PairRequest{"iPad"}, false, badFirst},
        {"non-hello even with a failing store", cm::Heartbeat{}, true, badFirst},
        {"version 1, unknown device", hello(1, "unknown"), false, version},
        {"version 3, unknown device", hello(3, "unknown"), false, version},
        {"version 1, known device", hello(1), false, version},
        {"version 3 while the store fails", hello(3), true, version},
        {"unknown device", hello(2, "unknown"), false, unknown},
        {"lookup fails", hello(2), true, unknown},
        {"token differs in the last byte", hello(2, kID, lastByte), false, badToken},
        {"token differs in the first byte", hello(2, kID, firstByte), false, badToken},
        {"token one byte short", hello(2, kID, shorter), false, badToken},
        {"token one byte longer", hello(2, kID, longer), false, badToken},
        {"empty token", hello(2, kID, {}), false, badToken},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InMemoryPairingStore store;
        store.save(storedDevice());
        FailingStore failing;
        PairingStore& s = c.failingStore ? static_cast<PairingStore&>(failing) : store;
        EXPECT_EQ(SessionGatekeeper::admit(c.message, s, kNow), c.expected);
        if (c.failingStore && c.expected == version) {
            EXPECT_EQ(failing.lookups, 0) << "the version is checked before the store";
        }
    }
}

TEST(SessionGatekeeper, AcceptsTheStoredDeviceWithLastSeenNowAndLeavesTheStoreAlone) {
    InMemoryPairingStore store;
    store.save(storedDevice());
    const auto result = SessionGatekeeper::admit(hello(2), store, kNow);

    auto expected = storedDevice(); // the hello's name plays no part
    expected.lastSeenAt = kNow;
    EXPECT_EQ(result, SessionAdmission{SessionAdmission::Accepted{expected}});
    EXPECT_EQ(store.device(kID), storedDevice());
}

TEST(SessionGatekeeper, AcceptsADeviceNeverSeenBefore) {
    InMemoryPairingStore store;
    auto device = storedDevice();
    device.lastSeenAt.reset();
    store.save(device);
    const auto result = SessionGatekeeper::admit(hello(2), store, kNow);
    const auto* accepted = std::get_if<SessionAdmission::Accepted>(&result.value);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(accepted->device.lastSeenAt, kNow);
}

} // namespace
} // namespace quillon
