// test-labels: pairing;concurrency
// The behaviour every PairingStore owes its callers, run against each implementation.
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Pairing/KeychainPairingStore.hpp"
#include "WireProtocol/PSKProvider.hpp"
#include "tests/support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

namespace quillon {
namespace {

// The in-memory store lives only in its one object, so every user shares that object.
struct InMemoryFixture {
    std::shared_ptr<PairingStore> shared = std::make_shared<InMemoryPairingStore>();
    std::shared_ptr<PairingStore> make() { return shared; }
};

// A keychain file of its own in a fresh directory; make() hands out a store on the same
// file each time, as a second part of the program would see it.
struct KeychainFixture {
    testing::TempDir dir;
    std::shared_ptr<platform::Keychain> keychain =
        std::make_shared<platform::Keychain>(dir.path() + "/corvane/keychain.sqlite3");
    std::shared_ptr<PairingStore> make() {
        return std::make_shared<KeychainPairingStore>(KeychainPairingStore::defaultService,
                                                      keychain);
    }
};

PairedDevice device(const std::string& id, std::optional<double> lastSeen = std::nullopt) {
    return PairedDevice{id, "iPad of " + id, wire::PSKProvider::randomToken(), 1765000000.5,
                        lastSeen};
}

std::vector<PairedDevice> sorted(std::vector<PairedDevice> devices) {
    std::sort(devices.begin(), devices.end(),
              [](const auto& a, const auto& b) { return a.deviceID < b.deviceID; });
    return devices;
}

template <typename Fixture> class PairingStoreContract : public ::testing::Test {
protected:
    Fixture fixture;
    std::shared_ptr<PairingStore> store = fixture.make();
};

using Stores = ::testing::Types<InMemoryFixture, KeychainFixture>;
class StoreNames {
public:
    template <typename T> static std::string GetName(int) {
        return std::is_same_v<T, InMemoryFixture> ? "InMemory" : "Keychain";
    }
};
TYPED_TEST_SUITE(PairingStoreContract, Stores, StoreNames);

TYPED_TEST(PairingStoreContract, EmptyStoreAnswersNothingAndRemovalsSucceed) {
    auto& store = *this->store;
    EXPECT_TRUE(store.allDevices().empty());
    EXPECT_EQ(store.device("unknown"), std::nullopt);
    EXPECT_NO_THROW(store.remove("unknown"));
    EXPECT_NO_THROW(store.removeAll());
    EXPECT_TRUE(store.allDevices().empty());
}

TYPED_TEST(PairingStoreContract, SavedDevicesReadBackAndASecondSaveReplacesTheFirst) {
    auto& store = *this->store;
    const auto a = device("A");
    auto b = device("B", 1765000100.25);
    b.deviceName = "张三的 i/Pad";
    store.save(a);
    store.save(b);
    EXPECT_EQ(store.device("A"), a);
    EXPECT_EQ(store.device("B"), b);
    EXPECT_EQ(sorted(store.allDevices()), (std::vector<PairedDevice>{a, b}));

    auto b2 = device("B", 1765000200.0);
    b2.deviceName = "renamed";
    store.save(b2);
    EXPECT_EQ(sorted(store.allDevices()), (std::vector<PairedDevice>{a, b2}));
    EXPECT_EQ(this->fixture.make()->device("B"), b2) << "seen by another user of the store";

    // Seen, then saved again as never seen: the absence is stored too.
    auto b3 = b2;
    b3.lastSeenAt.reset();
    store.save(b3);
    EXPECT_EQ(store.device("B"), b3);
}

TYPED_TEST(PairingStoreContract, RemoveTakesOnlyThatDevice) {
    auto& store = *this->store;
    const auto a = device("A");
    const auto b = device("B");
    store.save(a);
    store.save(b);
    const auto secret = store.hostSecret();
    store.remove("A");
    EXPECT_EQ(store.device("A"), std::nullopt);
    EXPECT_EQ(store.allDevices(), std::vector<PairedDevice>{b});
    EXPECT_EQ(store.hostSecret(), secret);
}

TYPED_TEST(PairingStoreContract, ReservedIdentifierIsRefusedAndNothingIsWritten) {
    auto& store = *this->store;
    auto reserved = device(kHostSecretAccount);
    reserved.token = wire::Bytes(32, 0x42);
    try {
        store.save(reserved);
        FAIL() << "save of the reserved identifier succeeded";
    } catch (const PairingStoreError& e) {
        EXPECT_EQ(e, PairingStoreError::reservedDeviceID());
    }
    EXPECT_TRUE(store.allDevices().empty());
    EXPECT_EQ(store.device(kHostSecretAccount), std::nullopt);
    // The secret was not overwritten by the refused record either.
    EXPECT_NE(store.hostSecret(), reserved.token);
}

TYPED_TEST(PairingStoreContract, HostSecretIsStableHiddenFromDevicesAndRenewedByRemoveAll) {
    auto& store = *this->store;
    const auto secret = store.hostSecret();
    EXPECT_EQ(secret.size(), 32u);
    EXPECT_EQ(store.hostSecret(), secret);
    EXPECT_TRUE(store.allDevices().empty()) << "the secret is not a device";

    store.save(device("A"));
    const auto oldKey = wire::PSKProvider::sessionKey(secret);
    store.removeAll();
    EXPECT_TRUE(store.allDevices().empty());
    EXPECT_EQ(store.device("A"), std::nullopt);

    const auto renewed = store.hostSecret();
    EXPECT_EQ(renewed.size(), 32u);
    EXPECT_NE(renewed, secret);
    EXPECT_NE(wire::PSKProvider::sessionKey(store.hostSecret()), oldKey)
        << "clients paired before removeAll must no longer derive the session key";
}

TYPED_TEST(PairingStoreContract, ConcurrentSavesOfDifferentDevicesLoseNone) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25;
    std::vector<std::thread> threads;
    std::vector<wire::Bytes> secrets(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each thread its own store object on the same backing, as the transport queues
            // and the main thread have.
            auto store = this->fixture.make();
            secrets[t] = store->hostSecret();
            for (int i = 0; i < kPerThread; ++i) {
                store->save(device("T" + std::to_string(t) + "-" + std::to_string(i)));
                (void)store->device("T" + std::to_string((t + 1) % kThreads) + "-0");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(this->store->allDevices().size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(std::set<wire::Bytes>(secrets.begin(), secrets.end()).size(), 1u)
        << "every first caller must get the one stored secret";
    EXPECT_EQ(this->store->hostSecret(), secrets[0]);
}

} // namespace
} // namespace quillon
