#include "Quillon/Transport/HeartbeatMonitor.hpp"

namespace quillon {

void HeartbeatMonitor::record(const std::string& deviceID, double at) {
    lastSeen_[deviceID] = at; // an older time replaces a newer one too
}

void HeartbeatMonitor::forget(const std::string& deviceID) {
    lastSeen_.erase(deviceID);
}

std::vector<std::string> HeartbeatMonitor::timedOut(double now) const {
    // The map iterates in ascending key order, so the result is already sorted.
    std::vector<std::string> result;
    for (const auto& [deviceID, seen] : lastSeen_) {
        if (now - seen > silenceLimit) {
            result.push_back(deviceID);
        }
    }
    return result;
}

std::vector<std::string> HeartbeatMonitor::prune(double now) {
    std::vector<std::string> result = timedOut(now);
    for (const auto& deviceID : result) {
        lastSeen_.erase(deviceID);
    }
    return result;
}

} // namespace quillon
