#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace quillon {

// Wrong PINs during one pairing window, counted per source before they count against the
// window. A source that has used up its own tries is shut out of the window (its later
// connections to the pairing listener are closed unheard), so a neighbour that sends a few
// ClientHellos with made-up binders ends its own attempts, not the user's window. The window
// still closes once all sources together reach the window's limit: the number of online guesses
// at a PIN stays bounded however many addresses a guesser uses.
//
// Sources are the keys of ConnectionAdmission::sourceOf(). Not thread-safe; the transport's
// queue serialises it. reset() at every new window.
class PairingFailureCounter {
public:
    struct Limits {
        std::size_t perSource = 3;
        std::size_t window = 10;
    };

    enum class Verdict {
        counted,       // the source may try again
        sourceShutOut, // this failure used up the source's tries
        windowClosed,  // this failure reached the window's limit: close the window
    };

    PairingFailureCounter() = default;
    explicit PairingFailureCounter(Limits limits) : limits_(limits) {}

    // One wrong PIN from `source`. A source already shut out is not counted again (its
    // connections should not have got this far); the verdict is then sourceShutOut.
    Verdict recordFailure(const std::string& source);
    bool isShutOut(const std::string& source) const;
    std::size_t total() const noexcept { return total_; }
    void reset();

private:
    Limits limits_;
    std::map<std::string, std::size_t> perSource_;
    std::size_t total_ = 0;
};

} // namespace quillon
