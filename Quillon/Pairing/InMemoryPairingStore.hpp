#pragma once

#include "Quillon/Pairing/PairingStore.hpp"

#include <map>
#include <mutex>
#include <optional>

namespace quillon {

// A process-local store (passive mode and tests). Every operation holds one lock for its whole
// body and calls nothing outside while holding it; only save() of the reserved identifier fails.
class InMemoryPairingStore final : public PairingStore {
public:
    InMemoryPairingStore() = default;

    std::vector<PairedDevice> allDevices() override;
    std::optional<PairedDevice> device(const std::string& id) override;
    void save(const PairedDevice& device) override;
    void remove(const std::string& id) override;
    void removeAll() override;
    wire::Bytes hostSecret() override;

private:
    std::mutex lock_;
    std::map<std::string, PairedDevice> devices_;
    std::optional<wire::Bytes> secret_;
};

} // namespace quillon
