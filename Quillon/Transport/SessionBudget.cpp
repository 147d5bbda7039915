#include "Quillon/Transport/SessionBudget.hpp"

#include <algorithm>

namespace quillon {

std::vector<SessionBudget::Key> SessionBudget::admit(Key session, const std::string& deviceID) {
    std::vector<Key> evicted;
    if (auto it = entries_.find(session); it != entries_.end()) {
        it->second.deviceID = deviceID;
    } else {
        entries_.emplace(session, Entry{deviceID, ++order_, 0});
    }
    const std::size_t share = std::max<std::size_t>(limits_.sessionsPerDevice, 1);
    while (sessionsOf(deviceID) > share) {
        const Entry* oldest = nullptr;
        Key oldestKey = 0;
        for (const auto& [key, entry] : entries_) {
            if (key != session && entry.deviceID == deviceID &&
                (oldest == nullptr || entry.admittedAt < oldest->admittedAt)) {
                oldest = &entry;
                oldestKey = key;
            }
        }
        if (oldest == nullptr) {
            break;
        }
        erase(oldestKey);
        evicted.push_back(oldestKey);
    }
    return evicted;
}

std::vector<SessionBudget::Key> SessionBudget::buffered(Key session, std::size_t bytes) {
    std::vector<Key> evicted;
    auto it = entries_.find(session);
    if (it == entries_.end()) {
        return evicted;
    }
    const std::size_t excess =
        bytes > limits_.allowancePerSession ? bytes - limits_.allowancePerSession : 0;
    excessTotal_ = excessTotal_ - it->second.excess + excess;
    it->second.excess = excess;
    while (excessTotal_ > limits_.bufferedTotal) {
        // The largest holder goes; among equals the most recently admitted, which is the
        // cheaper loss for a device that keeps an older working session.
        auto victim =
            std::max_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
                if (a.second.excess != b.second.excess) {
                    return a.second.excess < b.second.excess;
                }
                return a.second.admittedAt < b.second.admittedAt;
            });
        const Key key = victim->first;
        erase(key);
        evicted.push_back(key);
    }
    return evicted;
}

void SessionBudget::remove(Key session) {
    erase(session);
}

void SessionBudget::erase(Key session) {
    auto it = entries_.find(session);
    if (it == entries_.end()) {
        return;
    }
    excessTotal_ -= it->second.excess;
    entries_.erase(it);
}

std::size_t SessionBudget::sessionsOf(const std::string& deviceID) const {
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(),
                      [&](const auto& e) { return e.second.deviceID == deviceID; }));
}

} // namespace quillon
