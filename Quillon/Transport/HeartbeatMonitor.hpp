#pragma once

#include <map>
#include <string>
#include <vector>

namespace quillon {

// When each admitted device was last heard. No clock inside: time (seconds) is passed in.
class HeartbeatMonitor {
public:
    static constexpr double silenceLimit = 3.0;

    void record(const std::string& deviceID, double at);
    void forget(const std::string& deviceID);
    // Devices silent for strictly more than silenceLimit, sorted ascending.
    std::vector<std::string> timedOut(double now) const;
    // timedOut(now), and those entries removed.
    std::vector<std::string> prune(double now);

private:
    std::map<std::string, double> lastSeen_;
};

} // namespace quillon
