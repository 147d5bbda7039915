#pragma once

#include <cstddef>
#include <deque>

namespace quillon {

// The accounting of one session's replies that the peer has not taken yet. Reading from a peer
// stops while its replies wait (back-pressure), but requests read before that, and replies
// produced elsewhere (an application list built on another thread), still arrive; without a cap
// a client that never reads makes the host hold every reply it ever asked for. The cap counts
// bytes and replies; a push that would cross it tells the owner to drop the peer. One reply is
// always accepted into an empty queue, whatever its size, so a single large but legitimate
// answer (an application list with icons) still goes out.
//
// Not thread-safe; the owner's queue serialises it.
class ReplyQueue {
public:
    struct Limits {
        std::size_t bytes = 0;
        std::size_t replies = 0;
    };

    enum class Verdict {
        queued,
        overflow, // the peer does not read: disconnect it (nothing was queued)
    };

    explicit ReplyQueue(Limits limits) : limits_(limits) {}

    Verdict push(std::size_t bytes);
    // `bytes` of the oldest replies left the host. Replies leave whole or in part; a reply
    // counts until its last byte has gone.
    void sent(std::size_t bytes);
    void clear();

    std::size_t bytes() const noexcept { return bytes_; }
    std::size_t replies() const noexcept { return sizes_.size(); }

private:
    Limits limits_;
    std::deque<std::size_t> sizes_; // remaining bytes of each reply, oldest first
    std::size_t bytes_ = 0;
};

} // namespace quillon
