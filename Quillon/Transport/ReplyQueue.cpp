#include "Quillon/Transport/ReplyQueue.hpp"

#include <algorithm>

namespace quillon {

ReplyQueue::Verdict ReplyQueue::push(std::size_t bytes) {
    if (!sizes_.empty() &&
        (bytes_ + bytes > limits_.bytes || sizes_.size() + 1 > limits_.replies)) {
        return Verdict::overflow;
    }
    sizes_.push_back(bytes);
    bytes_ += bytes;
    return Verdict::queued;
}

void ReplyQueue::sent(std::size_t bytes) {
    while (bytes > 0 && !sizes_.empty()) {
        const std::size_t taken = std::min(bytes, sizes_.front());
        sizes_.front() -= taken;
        bytes_ -= taken;
        bytes -= taken;
        if (sizes_.front() == 0) {
            sizes_.pop_front();
        }
    }
    // Zero-length replies at the front have left as soon as what precedes them has.
    while (!sizes_.empty() && sizes_.front() == 0) {
        sizes_.pop_front();
    }
}

void ReplyQueue::clear() {
    sizes_.clear();
    bytes_ = 0;
}

} // namespace quillon
