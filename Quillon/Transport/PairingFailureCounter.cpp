#include "Quillon/Transport/PairingFailureCounter.hpp"

namespace quillon {

PairingFailureCounter::Verdict PairingFailureCounter::recordFailure(const std::string& source) {
    if (isShutOut(source)) {
        return Verdict::sourceShutOut;
    }
    const std::size_t mine = ++perSource_[source];
    ++total_;
    if (total_ >= limits_.window) {
        return Verdict::windowClosed;
    }
    return mine >= limits_.perSource ? Verdict::sourceShutOut : Verdict::counted;
}

bool PairingFailureCounter::isShutOut(const std::string& source) const {
    auto it = perSource_.find(source);
    return it != perSource_.end() && it->second >= limits_.perSource;
}

void PairingFailureCounter::reset() {
    perSource_.clear();
    total_ = 0;
}

} // namespace quillon
