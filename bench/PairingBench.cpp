// Admission and listing against a keychain file of 100 paired devices. Admission runs once per
// incoming connection (its device lookup dominates); the listing runs whenever the console
// refreshes its device list.
#include "Platform/Keychain/Keychain.hpp"
#include "Quillon/Pairing/InMemoryPairingStore.hpp"
#include "Quillon/Pairing/KeychainPairingStore.hpp"
#include "Quillon/Pairing/SessionGatekeeper.hpp"
#include "WireProtocol/PSKProvider.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <stdexcept>

#include <stdlib.h>

namespace {

using namespace quillon;

constexpr int kDevices = 100;

// One keychain file for the whole run, removed at exit.
struct Fixture {
    std::string dir;
    std::shared_ptr<KeychainPairingStore> keychainStore;
    std::shared_ptr<InMemoryPairingStore> memoryStore = std::make_shared<InMemoryPairingStore>();
    std::vector<wire::ControlMessage> hellos;

    Fixture() {
        std::string pattern = "/tmp/quillon-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir = pattern;
        keychainStore = std::make_shared<KeychainPairingStore>(
            KeychainPairingStore::defaultService,
            std::make_shared<platform::Keychain>(dir + "/corvane/keychain.sqlite3"));
        (void)keychainStore->hostSecret();
        for (int i = 0; i < kDevices; ++i) {
            PairedDevice device{wire::PSKProvider::randomUUIDString(), "iPad " + std::to_string(i),
                                wire::PSKProvider::randomToken(), 1765000000.0 + i, std::nullopt};
            keychainStore->save(device);
            memoryStore->save(device);
            hellos.emplace_back(
                wire::cm::Hello{device.deviceID, device.token, device.deviceName, 2});
        }
    }
    ~Fixture() {
        keychainStore.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void admitFrom(benchmark::State& state, PairingStore& store) {
    auto& f = fixture();
    std::size_t i = 0;
    for (auto _ : state) {
        auto result = SessionGatekeeper::admit(f.hellos[i++ % f.hellos.size()], store, 1.0);
        if (!std::holds_alternative<SessionAdmission::Accepted>(result.value)) {
            state.SkipWithError("a paired device was not admitted");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
}

void BM_AdmitKeychain100(benchmark::State& state) {
    admitFrom(state, *fixture().keychainStore);
}
void BM_AdmitInMemory100(benchmark::State& state) {
    admitFrom(state, *fixture().memoryStore);
}

void BM_AdmitUnknownDeviceKeychain100(benchmark::State& state) {
    const wire::ControlMessage hello =
        wire::cm::Hello{"00000000-0000-4000-8000-000000000000", wire::Bytes(32), "x", 2};
    for (auto _ : state) {
        benchmark::DoNotOptimize(SessionGatekeeper::admit(hello, *fixture().keychainStore, 1.0));
    }
}

void BM_AllDevicesKeychain100(benchmark::State& state) {
    for (auto _ : state) {
        auto devices = fixture().keychainStore->allDevices();
        if (devices.size() != kDevices) {
            state.SkipWithError("wrong number of devices");
            break;
        }
        benchmark::DoNotOptimize(devices);
    }
}

// One durable write (the WAL is synced at every commit), as after each admitted hello.
void BM_SaveKeychain(benchmark::State& state) {
    auto& f = fixture();
    auto device =
        f.keychainStore->device(std::get<wire::cm::Hello>(f.hellos.front().value()).deviceID);
    double seen = 0;
    for (auto _ : state) {
        device->lastSeenAt = ++seen;
        f.keychainStore->save(*device);
    }
}

} // namespace

BENCHMARK(BM_AdmitKeychain100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AdmitUnknownDeviceKeychain100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AdmitInMemory100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AllDevicesKeychain100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SaveKeychain)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
